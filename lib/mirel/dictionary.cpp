#include "lib/mirel/dictionary.hpp"

#include <cerrno>
#include <new>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

struct Dictionary {
    std::vector<std::pair<std::string, std::string>> entries;
    std::unordered_map<std::string, size_t> index; // key -> position in entries
};

extern "C" {

Dictionary *Dictionary_CreateEx(unsigned flags)
{
    if (flags != DICTIONARY_FLAGS_NONE) {
        errno = EINVAL;
        return nullptr;
    }
    auto *dictionary = new (std::nothrow) Dictionary;
    if (dictionary == nullptr)
        errno = ENOMEM;
    return dictionary;
}

void Dictionary_Destroy(Dictionary *dictionary)
{
    delete dictionary;
}

int Dictionary_Set(Dictionary *dictionary, const char *key, const char *value)
{
    if (dictionary == nullptr || key == nullptr || value == nullptr) {
        errno = EINVAL;
        return -1;
    }
    try {
        std::string new_value(value);
        auto found = dictionary->index.find(key);
        if (found != dictionary->index.end()) {
            dictionary->entries[found->second].second.swap(new_value);
            return 0;
        }
        std::string new_key(key);
        auto &entries = dictionary->entries;
        if (entries.size() == entries.capacity()) // grow geometrically, never one by one
            entries.reserve(entries.empty() ? 8 : 2 * entries.size());
        dictionary->index.emplace(new_key, dictionary->entries.size());
        // The room reserved above makes this append unable to throw.
        entries.emplace_back(std::move(new_key), std::move(new_value));
        return 0;
    } catch (const std::bad_alloc &) {
        errno = ENOMEM;
        return -1;
    }
}

const char *Dictionary_Get(const Dictionary *dictionary, const char *key)
{
    if (dictionary == nullptr || key == nullptr)
        return nullptr;
    auto found = dictionary->index.find(key);
    return found == dictionary->index.end() ? nullptr : dictionary->entries[found->second].second.c_str();
}

size_t Dictionary_Count(const Dictionary *dictionary)
{
    return dictionary == nullptr ? 0 : dictionary->entries.size();
}

const char *Dictionary_KeyAt(const Dictionary *dictionary, size_t index)
{
    if (dictionary == nullptr || index >= dictionary->entries.size())
        return nullptr;
    return dictionary->entries[index].first.c_str();
}

const char *Dictionary_ValueAt(const Dictionary *dictionary, size_t index)
{
    if (dictionary == nullptr || index >= dictionary->entries.size())
        return nullptr;
    return dictionary->entries[index].second.c_str();
}

} // extern "C"
