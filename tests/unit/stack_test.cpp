#include "util/stack.hpp"

#include <gtest/gtest.h>

namespace {

TEST(Stack, GrowsWithoutLosingElementsAndLastPopReleases)
{
    stack *s = nullptr;
    for (uint32_t i = 0; i < 13; ++i) {
        s = stack_push(s, sizeof(uint64_t));
        ASSERT_NE(s, nullptr);
        ASSERT_EQ(stack_get_top(s), static_cast<int32_t>(i));
        *static_cast<uint64_t *>(stack_get(s, stack_get_top(s), sizeof(uint64_t))) = ~uint64_t{i};
    }
    EXPECT_EQ(stack_get_capacity(s), 24);  // doubled twice from 6
    for (uint32_t i = 0; i < 13; ++i)
        EXPECT_EQ(*static_cast<const uint64_t *>(stack_get(s, static_cast<int32_t>(i), sizeof(uint64_t))), ~uint64_t{i});
    for (int i = 12; i > 0; --i)
        ASSERT_EQ(stack_get_top(s = stack_pop(s)), i - 1);
    EXPECT_EQ(stack_pop(s), nullptr);  // the leak checker sees the block go
}

}  // namespace
