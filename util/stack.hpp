// Growable stack of fixed-size elements in one heap block; the element size
// is passed on every call. The block may move when it grows, so push and pop
// return the handle to use from then on. Popping the last element releases
// the block. A failing push prints "realloc failed" (perror), releases the
// old stack and returns null. Reporting: perror here, nothing in syslog.
#pragma once

#include <cstddef>
#include <cstdint>

struct stack;

inline constexpr int32_t STACK_INITIAL_CAPACITY = 6;

// A null stack becomes a new one holding one element. The new top element's
// contents are undefined.
[[nodiscard]] stack *stack_push(stack *s, size_t element_size);
// Null when the stack became empty (its block is then released).
[[nodiscard]] stack *stack_pop(stack *s);

// Index of the top element (0 when one element is held).
[[nodiscard]] int32_t stack_get_top(const stack *s);
[[nodiscard]] int32_t stack_get_capacity(const stack *s);
// Address of element `index` (0 is the bottom); valid until the next push.
[[nodiscard]] void *stack_get(stack *s, int32_t index, size_t element_size);
[[nodiscard]] const void *stack_get(const stack *s, int32_t index, size_t element_size);
