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

TEST(List, KeepsOrderRefusesDuplicatesAndRemovesByValue)
{
    list *l = list_new();
    int a = 0, b = 0, c = 0;
    for (int *p : {&a, &b, &c})
        ASSERT_EQ(list_add(l, p, nullptr), 0);
    EXPECT_EQ(list_add(l, &a, nullptr), -1);
    EXPECT_EQ(elements_of(l), (std::vector<void *>{&a, &b, &c}));
    // Removing the tail by value: a later add must land after the new tail.
    EXPECT_EQ(list_remove(l, &c, nullptr), &c);
    EXPECT_EQ(list_remove(l, &c, nullptr), nullptr);
    ASSERT_EQ(list_add(l, &c, nullptr), 0);
    EXPECT_EQ(elements_of(l), (std::vector<void *>{&a, &b, &c}));
    EXPECT_EQ(list_free(l), 0);

    // A comparison function makes distinct pointers equal.
    char first[] = "eth0", second[] = "eth0";
    list *names = list_new();
    EXPECT_EQ(list_add(names, first, compare_text), 0);
    EXPECT_EQ(list_add(names, second, compare_text), -1);
    EXPECT_EQ(list_contains(names, second, compare_text), 0);
    EXPECT_EQ(list_remove(names, second, compare_text), first);
    EXPECT_EQ(list_free(names), 0);
}

TEST(List, RemovingThroughIteratorKeepsEndsRight)
{
    list *l = list_new();
    int a = 0, b = 0, c = 0, d = 0;
    for (int *p : {&a, &b, &c, &d})
        ASSERT_EQ(list_add(l, p, nullptr), 0);

    list_iterator *ro = list_iterator_new(l, LIST_READ_ONLY);
    ASSERT_EQ(list_iterator_next(ro), 0);
    EXPECT_EQ(list_iterator_remove(ro), -1);
    EXPECT_EQ(list_iterator_free(ro), 0);

    // First, a middle one and the tail: each step goes on with the follower.
    list_iterator *it = list_iterator_new(l, LIST_REMOVING);
    std::vector<void *> visited;
    while (list_iterator_next(it) == 0) {
        void *element = list_iterator_get(it);
        visited.push_back(element);
        if (element != &b) {
            EXPECT_EQ(list_iterator_remove(it), 0);
        }
    }
    EXPECT_EQ(list_iterator_remove(it), -1);  // nothing current any more
    EXPECT_EQ(list_iterator_free(it), 0);
    EXPECT_EQ(visited, (std::vector<void *>{&a, &b, &c, &d}));
    EXPECT_EQ(l->count, 1u);
    EXPECT_EQ(l->first, l->last);
    ASSERT_EQ(list_add(l, &a, nullptr), 0);
    EXPECT_EQ(elements_of(l), (std::vector<void *>{&b, &a}));

    // The usual emptying loop leaves a clean, reusable record.
    it = list_iterator_new(l, LIST_REMOVING);
    while (list_iterator_next(it) == 0)
        EXPECT_EQ(list_iterator_remove(it), 0);
    EXPECT_EQ(list_iterator_free(it), 0);
    EXPECT_EQ(l->first, nullptr);
    EXPECT_EQ(l->last, nullptr);
    ASSERT_EQ(list_add(l, &c, nullptr), 0);
    EXPECT_EQ(elements_of(l), std::vector<void *>{&c});
    EXPECT_EQ(list_free(l), 0);
}

int released = 0;
void count_release(void *element)
{
    ++released;
    std::free(element);
}

TEST(List, RemoveAllKeepsElementsAndFreeAllReleasesThem)
{
    // The leak checker reports what list_remove_all would drop, and a double
    // free if it freed the elements.
    list *l = list_new();
    void *kept[3];
    for (void *&p : kept)
        ASSERT_EQ(list_add(l, p = std::malloc(8), nullptr), 0);
    EXPECT_EQ(list_remove_all(l), 0);
    EXPECT_EQ(l->count, 0u);
    for (void *p : kept)
        ASSERT_EQ(list_add(l, p, nullptr), 0);
    EXPECT_EQ(list_free_all(l, count_release), 0);
    EXPECT_EQ(released, 3);
}

}  // namespace
