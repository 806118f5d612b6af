#include "util/list.hpp"

#include <cstdio>
#include <cstdlib>

namespace {

bool equal(const void *stored, const void *given, list_compare_fn compare)
{
    return compare ? compare(stored, given) == 0 : stored == given;
}

list_node *find(const list *owner, const void *element, list_compare_fn compare, list_node **previous)
{
    list_node *before = nullptr;
    for (list_node *node = owner->first; node; before = node, node = node->next) {
        if (equal(node->element, element, compare)) {
            if (previous)
                *previous = before;
            return node;
        }
    }
    return nullptr;
}

} // namespace

list *list_new()
{
    auto *owner = static_cast<list *>(std::calloc(1, sizeof(list)));
    if (!owner)
        std::perror("malloc failed");
    return owner;
}

list_iterator *list_iterator_new(list *owner, int mode)
{
    if (!owner)
        return nullptr;
    auto *it = static_cast<list_iterator *>(std::malloc(sizeof(list_iterator)));
    if (!it) {
        std::perror("malloc failed");
        return nullptr;
    }
    it->owner = owner;
    it->mode = mode;
    list_iterator_reset(it);
    return it;
}

void list_iterator_reset(list_iterator *it)
{
    it->previous = nullptr;
    it->current = nullptr;
    it->next = it->owner->first;
}

int list_iterator_free(list_iterator *it)
{
    if (!it)
        return -1;
    std::free(it);
    return 0;
}

int list_iterator_has_next(const list_iterator *it)
{
    return it->next ? 1 : 0;
}

int list_iterator_next(list_iterator *it)
{
    if (!it->next)
        return -1;
    // After a removal current is null and previous already precedes next.
    if (it->current)
        it->previous = it->current;
    it->current = it->next;
    it->next = it->current->next;
    return 0;
}

void *list_iterator_get(const list_iterator *it)
{
    return it->current ? it->current->element : nullptr;
}

int list_iterator_remove(list_iterator *it)
{
    if (it->mode != LIST_REMOVING || !it->current)
        return -1;
    list *owner = it->owner;
    if (it->previous)
        it->previous->next = it->next;
    else
        owner->first = it->next;
    if (!it->next)
        owner->last = it->previous;
    owner->count--;
    std::free(it->current);
    it->current = nullptr;
    return 0;
}

int list_add(list *owner, void *element, list_compare_fn compare)
{
    if (!owner || find(owner, element, compare, nullptr))
        return -1;
    auto *node = static_cast<list_node *>(std::malloc(sizeof(list_node)));
    if (!node) {
        std::perror("malloc failed");
        return -1;
    }
    node->element = element;
    node->next = nullptr;
    if (owner->last)
        owner->last->next = node;
    else
        owner->first = node;
    owner->last = node;
    owner->count++;
    return 0;
}

int list_contains(const list *owner, const void *element, list_compare_fn compare)
{
    if (!owner)
        return -1;
    return find(owner, element, compare, nullptr) ? 0 : -1;
}

void *list_remove(list *owner, const void *element, list_compare_fn compare)
{
    if (!owner)
        return nullptr;
    list_node *previous = nullptr;
    list_node *node = find(owner, element, compare, &previous);
    if (!node)
        return nullptr;
    if (previous)
        previous->next = node->next;
    else
        owner->first = node->next;
    if (owner->last == node)
        owner->last = previous;
    owner->count--;
    void *removed = node->element;
    std::free(node);
    return removed;
}

int list_remove_all(list *owner)
{
    if (!owner)
        return -1;
    list_iterator *it = list_iterator_new(owner, LIST_REMOVING);
    if (!it)
        return -1;
    int result = 0;
    while (list_iterator_next(it) == 0)
        result |= list_iterator_remove(it);
    result |= list_iterator_free(it);
    owner->first = nullptr;
    owner->last = nullptr;
    owner->count = 0;
    return result;
}

int list_free(list *owner)
{
    int result = list_remove_all(owner);
    std::free(owner);
    return result;
}

int list_free_all(list *owner, list_release_fn release)
{
    if (!owner)
        return -1;
    int result = 0;
    list_iterator *it = list_iterator_new(owner, LIST_REMOVING);
    if (it) {
        while (list_iterator_next(it) == 0) {
            void *element = list_iterator_get(it);
            result |= list_iterator_remove(it);
            if (release)
                release(element);
            else
                std::free(element);
        }
        result |= list_iterator_free(it);
    } else {
        result = -1;
    }
    return result | list_free(owner);
}
