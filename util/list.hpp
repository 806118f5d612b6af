// Singly linked list of untyped element pointers, with separate iterators that
// either only read (mode 0) or may also remove (mode 1).
// The list owns its nodes, never its elements, except in list_free_all.
// Failures give -1 or null. Reporting: allocation failures print "malloc
// failed" (perror) here and nothing else does; the caller logs what follows.
#pragma once

#include <cstdint>

struct list_node {
    void *element;
    list_node *next;
};

struct list {
    list_node *first;
    list_node *last;
    uint64_t count;
};

struct list_iterator {
    list *owner;
    list_node *previous;
    list_node *current;
    list_node *next;
    int mode; // 1: may remove; anything else: read-only
};

// Called with the stored element first and the given one second; 0 means
// "equal". Without one, equal means the same pointer.
using list_compare_fn = int (*)(const void *stored, const void *given);
using list_release_fn = void (*)(void *element);

inline constexpr int LIST_READ_ONLY = 0;
inline constexpr int LIST_REMOVING = 1;

[[nodiscard]] list *list_new();

// Null for a missing list (silently) or when memory runs out.
[[nodiscard]] list_iterator *list_iterator_new(list *owner, int mode);
void list_iterator_reset(list_iterator *it);
int list_iterator_free(list_iterator *it);
[[nodiscard]] int list_iterator_has_next(const list_iterator *it);
// 0 after a step, -1 at the end (the iterator is then unchanged). After a
// removal the step continues with the element that followed the removed one.
[[nodiscard]] int list_iterator_next(list_iterator *it);
[[nodiscard]] void *list_iterator_get(const list_iterator *it);
// Takes the current element out (its node is freed, the element is not).
// -1 unless the iterator is in mode 1 and stands on an element.
[[nodiscard]] int list_iterator_remove(list_iterator *it);

// Appends at the tail; -1 when an equal element is already held.
[[nodiscard]] int list_add(list *owner, void *element, list_compare_fn compare);
// 0 when an equal element is held, -1 otherwise.
[[nodiscard]] int list_contains(const list *owner, const void *element, list_compare_fn compare);
// Takes the first equal element out and returns it; null when there is none.
void *list_remove(list *owner, const void *element, list_compare_fn compare);
// Takes every element out and leaves the list empty and usable.
int list_remove_all(list *owner);
// list_remove_all, then frees the list record. A null list gives -1.
int list_free(list *owner);
// Releases every element (with release, or free), then list_free.
// 0 only when every step succeeded.
int list_free_all(list *owner, list_release_fn release);
