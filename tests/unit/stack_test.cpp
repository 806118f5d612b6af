#include "util/stack.hpp"

#include <gtest/gtest.h>


namespace {

struct record {
    void *pointer;
    uint32_t a;
    uint32_t b;
};

TEST(Stack, GrowsByDoublingWithoutLosingElements)
{
    stack *s = nullptr;
    for (uint32_t i = 0; i < 13; ++i) {
        s = stack_push(s, sizeof(record));
        ASSERT_NE(s, nullptr);
        ASSERT_EQ(stack_get_top(s), static_cast<int32_t>(i));
        auto *r = static_cast<record *>(stack_get(s, stack_get_top(s), sizeof(record)));
        *r = record{&r, i, ~i};
        EXPECT_EQ(stack_get_capacity(s), i < 6 ? 6 : 12 + (i >= 12 ? 12 : 0));
    }
    EXPECT_EQ(stack_get_capacity(s), 24);
    for (uint32_t i = 0; i < 13; ++i) {
        const auto *r = static_cast<const record *>(stack_get(s, static_cast<int32_t>(i), sizeof(record)));
        EXPECT_EQ(r->a, i);
        EXPECT_EQ(r->b, ~i);
    }
    // Popping never shrinks; the last pop releases the block.
    for (int i = 12; i > 0; --i) {
        s = stack_pop(s);
        ASSERT_NE(s, nullptr);
        EXPECT_EQ(stack_get_top(s), i - 1);
        EXPECT_EQ(stack_get_capacity(s), 24);
    }
    EXPECT_EQ(stack_pop(s), nullptr);
    EXPECT_EQ(stack_pop(nullptr), nullptr);
}

}  // namespace
