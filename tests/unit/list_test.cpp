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

int released = 0;

TEST(List, KeepsOrderRefusesDuplicatesAndRemovesByValue)
{
    list *l = list_new();
    int a = 0, b = 0, c = 0;
    for (int *p : {&a, &b, &c})
        ASSERT_EQ(list_add(l, p, nullptr), 0);
    EXPECT_EQ(list_add(l, &a, nullptr), -1);
    EXPECT_EQ(list_remove(l, &c, nullptr), &c); // the tail: a later add lands after the new tail
    EXPECT_EQ(list_remove(l, &c, nullptr), nullptr);
    ASSERT_EQ(list_add(l, &c, nullptr), 0);
    EXPECT_EQ(elements_of(l), (std::vector<void *>{&a, &b, &c}));
    EXPECT_EQ(list_free(l), 0);

    // A comparison function makes distinct pointers equal; free_all releases
    // the elements (the leak checker sees any left).
    const auto same_text = [](const void *x, const void *y) {
        return std::strcmp(static_cast<const char *>(x), static_cast<const char *>(y));
    };
    list *names = list_new();
    EXPECT_EQ(list_add(names, strdup("eth0"), same_text), 0);
    char *twin = strdup("eth0");
    EXPECT_EQ(list_add(names, twin, same_text), -1);
    EXPECT_EQ(list_contains(names, twin, same_text), 0);
    std::free(twin);
    EXPECT_EQ(list_add(names, strdup("eth1"), same_text), 0);
    EXPECT_EQ(list_free_all(names, [](void *element) { ++released, std::free(element); }), 0);
    EXPECT_EQ(released, 2);
}

TEST(List, RemovingThroughIteratorKeepsEndsRight)
{
    list *l = list_new();
    int a = 0, b = 0, c = 0, d = 0;
    for (int *p : {&a, &b, &c, &d})
        ASSERT_EQ(list_add(l, p, nullptr), 0);
    list_iterator *it = list_iterator_new(l, LIST_READ_ONLY);
    ASSERT_EQ(list_iterator_next(it), 0);
    EXPECT_EQ(list_iterator_remove(it), -1);
    EXPECT_EQ(list_iterator_free(it), 0);

    // First, a middle one and the tail: each step goes on with the follower.
    std::vector<void *> visited;
    it = list_iterator_new(l, LIST_REMOVING);
    while (list_iterator_next(it) == 0) {
        visited.push_back(list_iterator_get(it));
        if (visited.back() != &b) {
            EXPECT_EQ(list_iterator_remove(it), 0);
        }
    }
    EXPECT_EQ(list_iterator_remove(it), -1); // nothing current any more
    EXPECT_EQ(list_iterator_free(it), 0);
    EXPECT_EQ(visited, (std::vector<void *>{&a, &b, &c, &d}));
    ASSERT_EQ(list_add(l, &a, nullptr), 0);
    EXPECT_EQ(elements_of(l), (std::vector<void *>{&b, &a}));

    // The usual emptying loop leaves a clean, reusable record.
    it = list_iterator_new(l, LIST_REMOVING);
    while (list_iterator_next(it) == 0)
        EXPECT_EQ(list_iterator_remove(it), 0);
    EXPECT_EQ(list_iterator_free(it), 0);
    EXPECT_EQ(l->first, nullptr);
    ASSERT_EQ(list_add(l, &c, nullptr), 0);
    EXPECT_EQ(elements_of(l), std::vector<void *>{&c});
    EXPECT_EQ(list_remove_all(l), 0); // leaves the elements alone: these are on the stack
    EXPECT_EQ(list_free(l), 0);
}

} // namespace
