#include "util/list.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

std::vector<void *> elements_of(list *l)
{
    std::vector<void *> seen;
    list_iterator *it = list_iterator_new(l, LIST_READ_ONLY);
    while (list_iterator_next(it) == 0)
        seen.push_back(list_iterator_get(it));
    EXPECT_EQ(list_iterator_free(it), 0);
    return seen;
}

int compare_text(const void *stored, const void *given)
{
    return std::strcmp(static_cast<const char *>(stored), static_cast<const char *>(given));
}

TEST(List, KeepsOrderAndRefusesDuplicates)
{
    list *l = list_new();
    ASSERT_NE(l, nullptr);
    int a = 0, b = 0, c = 0;
    EXPECT_EQ(list_add(l, &a, nullptr), 0);
    EXPECT_EQ(list_add(l, &b, nullptr), 0);
    EXPECT_EQ(list_add(l, &a, nullptr), -1);
    EXPECT_EQ(list_add(l, &c, nullptr), 0);
    EXPECT_EQ(l->count, 3u);
    EXPECT_EQ(elements_of(l), (std::vector<void *>{&a, &b, &c}));

    EXPECT_EQ(list_contains(l, &b, nullptr), 0);
    int absent = 0;
    EXPECT_EQ(list_contains(l, &absent, nullptr), -1);

    // A comparison function makes distinct pointers equal.
    char first[] = "eth0", second[] = "eth0";
    list *names = list_new();
    EXPECT_EQ(list_add(names, first, compare_text), 0);
    EXPECT_EQ(list_add(names, second, compare_text), -1);
    EXPECT_EQ(list_contains(names, second, compare_text), 0);
    EXPECT_EQ(list_remove(names, second, compare_text), first);
    EXPECT_EQ(names->count, 0u);
    EXPECT_EQ(list_free(names), 0);
    EXPECT_EQ(list_free(l), 0);
}

TEST(List, IteratorOnEmptyListAndReadOnlyMode)
{
    list *l = list_new();
    list_iterator *it = list_iterator_new(l, LIST_READ_ONLY);
    EXPECT_EQ(list_iterator_get(it), nullptr);
    EXPECT_EQ(list_iterator_has_next(it), 0);
    EXPECT_EQ(list_iterator_next(it), -1);
    EXPECT_EQ(list_iterator_free(it), 0);

    int a = 0;
    ASSERT_EQ(list_add(l, &a, nullptr), 0);
    it = list_iterator_new(l, LIST_READ_ONLY);
    ASSERT_EQ(list_iterator_next(it), 0);
    EXPECT_EQ(list_iterator_remove(it), -1);
    EXPECT_EQ(l->count, 1u);
    EXPECT_EQ(list_iterator_next(it), -1);
    EXPECT_EQ(list_iterator_get(it), &a);  // unchanged at the end
    list_iterator_reset(it);
    EXPECT_EQ(list_iterator_get(it), nullptr);
    EXPECT_EQ(list_iterator_has_next(it), 1);
    EXPECT_EQ(list_iterator_free(it), 0);
    EXPECT_EQ(list_iterator_free(nullptr), -1);
    EXPECT_EQ(list_iterator_new(nullptr, LIST_READ_ONLY), nullptr);
    EXPECT_EQ(list_free(l), 0);
}

TEST(List, RemovingThroughIteratorKeepsEndsRight)
{
    list *l = list_new();
    int a = 0, b = 0, c = 0, d = 0;
    for (int *p : {&a, &b, &c})
        ASSERT_EQ(list_add(l, p, nullptr), 0);

    // Removing the first element: the next step yields its follower.
    list_iterator *it = list_iterator_new(l, LIST_REMOVING);
    ASSERT_EQ(list_iterator_next(it), 0);
    EXPECT_EQ(list_iterator_remove(it), 0);
    EXPECT_EQ(list_iterator_get(it), nullptr);
    EXPECT_EQ(list_iterator_remove(it), -1);  // nothing current any more
    EXPECT_EQ(l->first->element, &b);
    ASSERT_EQ(list_iterator_next(it), 0);
    EXPECT_EQ(list_iterator_get(it), &b);

    // Removing the tail makes its predecessor the last node.
    ASSERT_EQ(list_iterator_next(it), 0);
    EXPECT_EQ(list_iterator_get(it), &c);
    EXPECT_EQ(list_iterator_remove(it), 0);
    EXPECT_EQ(list_iterator_next(it), -1);
    EXPECT_EQ(list_iterator_free(it), 0);
    EXPECT_EQ(l->last->element, &b);
    ASSERT_EQ(list_add(l, &d, nullptr), 0);
    EXPECT_EQ(elements_of(l), (std::vector<void *>{&b, &d}));

    // A middle element: the walk goes on with the element after it.
    ASSERT_EQ(list_add(l, &a, nullptr), 0);
    it = list_iterator_new(l, LIST_REMOVING);
    ASSERT_EQ(list_iterator_next(it), 0);
    ASSERT_EQ(list_iterator_next(it), 0);
    EXPECT_EQ(list_iterator_remove(it), 0);
    ASSERT_EQ(list_iterator_next(it), 0);
    EXPECT_EQ(list_iterator_get(it), &a);
    EXPECT_EQ(list_iterator_free(it), 0);
    EXPECT_EQ(elements_of(l), (std::vector<void *>{&b, &a}));
    EXPECT_EQ(l->count, 2u);

    // The usual emptying loop leaves a clean, reusable record.
    it = list_iterator_new(l, LIST_REMOVING);
    while (list_iterator_next(it) == 0)
        EXPECT_EQ(list_iterator_remove(it), 0);
    EXPECT_EQ(list_iterator_free(it), 0);
    EXPECT_EQ(l->first, nullptr);
    EXPECT_EQ(l->last, nullptr);
    EXPECT_EQ(l->count, 0u);
    ASSERT_EQ(list_add(l, &c, nullptr), 0);
    EXPECT_EQ(l->first, l->last);
    EXPECT_EQ(l->first->element, &c);
    EXPECT_EQ(list_free(l), 0);
}

TEST(List, RemoveByValue)
{
    list *l = list_new();
    int a = 0, b = 0, c = 0;
    for (int *p : {&a, &b, &c})
        ASSERT_EQ(list_add(l, p, nullptr), 0);
    EXPECT_EQ(list_remove(l, &c, nullptr), &c);
    EXPECT_EQ(l->last->element, &b);
    EXPECT_EQ(list_remove(l, &c, nullptr), nullptr);
    EXPECT_EQ(list_remove(l, &a, nullptr), &a);
    EXPECT_EQ(list_remove(l, &b, nullptr), &b);
    EXPECT_EQ(l->first, nullptr);
    EXPECT_EQ(l->last, nullptr);
    ASSERT_EQ(list_add(l, &a, nullptr), 0);
    EXPECT_EQ(elements_of(l), std::vector<void *>{&a});
    EXPECT_EQ(list_remove(nullptr, &a, nullptr), nullptr);
    EXPECT_EQ(list_free(l), 0);
}

int released = 0;
void count_release(void *element)
{
    ++released;
    std::free(element);
}

TEST(List, EmptyingKeepsElementsAndFreeAllReleasesThem)
{
    // list_remove_all leaves the elements to the caller (the leak checker
    // would report them if it freed nothing, a double free if it freed them).
    list *l = list_new();
    void *kept[3];
    for (void *&p : kept) {
        p = std::malloc(8);
        ASSERT_EQ(list_add(l, p, nullptr), 0);
    }
    EXPECT_EQ(list_remove_all(l), 0);
    EXPECT_EQ(l->count, 0u);
    EXPECT_EQ(l->first, nullptr);
    for (void *p : kept) {
        std::memset(p, 0, 8);
        ASSERT_EQ(list_add(l, p, nullptr), 0);
    }
    EXPECT_EQ(list_free_all(l, nullptr), 0);  // frees them with free

    released = 0;
    l = list_new();
    for (int i = 0; i < 4; ++i)
        ASSERT_EQ(list_add(l, std::malloc(4), nullptr), 0);
    EXPECT_EQ(list_free_all(l, count_release), 0);
    EXPECT_EQ(released, 4);

    // Never created: refused without touching memory.
    EXPECT_EQ(list_remove_all(nullptr), -1);
    EXPECT_EQ(list_free(nullptr), -1);
    EXPECT_NE(list_free_all(nullptr, nullptr), 0);
    int x = 0;
    EXPECT_EQ(list_add(nullptr, &x, nullptr), -1);
    EXPECT_EQ(list_contains(nullptr, &x, nullptr), -1);
}

}  // namespace
