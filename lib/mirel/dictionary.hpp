// A dictionary of text keys to text values, kept in insertion order. It owns
// copies of everything stored in it; the creator releases it with
// Dictionary_Destroy. Failures return -1 or null and set errno; nothing throws.
#pragma once

#include <cstddef>

extern "C" {

struct Dictionary;

// Flags of Dictionary_CreateEx. No flag is defined yet: pass 0.
inline constexpr unsigned DICTIONARY_FLAGS_NONE = 0;

// A new, empty dictionary; null with errno EINVAL for unknown flags, ENOMEM
// when memory runs out.
[[nodiscard]] Dictionary *Dictionary_CreateEx(unsigned flags);

// Releases the dictionary and every text in it. Accepts null.
void Dictionary_Destroy(Dictionary *dictionary);

// Stores copies of key and value; an existing key keeps its place and gets the
// new value. 0, or -1 with errno EINVAL (null argument) or ENOMEM (nothing
// changed).
[[nodiscard]] int Dictionary_Set(Dictionary *dictionary, const char *key, const char *value);

// The value stored under key, valid until the entry changes or the dictionary
// is destroyed; null when absent.
[[nodiscard]] const char *Dictionary_Get(const Dictionary *dictionary, const char *key);

// Walking: entries 0 .. count-1 in insertion order. Out-of-range indexes and
// a null dictionary give null (and a count of 0).
[[nodiscard]] size_t Dictionary_Count(const Dictionary *dictionary);
[[nodiscard]] const char *Dictionary_KeyAt(const Dictionary *dictionary, size_t index);
[[nodiscard]] const char *Dictionary_ValueAt(const Dictionary *dictionary, size_t index);

} // extern "C"
