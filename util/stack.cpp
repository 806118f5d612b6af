#include "util/stack.hpp"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <limits>

// The elements follow the two counters, aligned for any element type.
struct alignas(std::max_align_t) stack {
    int32_t top;
    int32_t capacity;
};

namespace {

// perror may itself change errno; the caller reads the failure's errno.
void report(const char *text)
{
    const int error = errno;
    std::perror(text);
    errno = error;
}

unsigned char *elements(stack *s)
{
    return reinterpret_cast<unsigned char *>(s) + sizeof(stack);
}

stack *resize(stack *old, int32_t capacity, size_t element_size)
{
    const size_t limit = (std::numeric_limits<size_t>::max() - sizeof(stack)) / static_cast<size_t>(capacity);
    if (element_size > limit) {
        errno = ENOMEM;
        report("realloc failed");
        std::free(old);
        return nullptr;
    }
    void *block = std::realloc(old, sizeof(stack) + static_cast<size_t>(capacity) * element_size);
    if (!block) {
        report("realloc failed");
        std::free(old);
        return nullptr;
    }
    auto *s = static_cast<stack *>(block);
    s->capacity = capacity;
    return s;
}

} // namespace

stack *stack_push(stack *s, size_t element_size)
{
    if (!s) {
        s = resize(nullptr, STACK_INITIAL_CAPACITY, element_size);
        if (s)
            s->top = 0;
        return s;
    }
    if (s->top + 1 == s->capacity) {
        if (s->capacity > std::numeric_limits<int32_t>::max() / 2) {
            errno = ENOMEM;
            report("realloc failed");
            std::free(s);
            return nullptr;
        }
        s = resize(s, s->capacity * 2, element_size);
        if (!s)
            return nullptr;
    }
    s->top++;
    return s;
}

stack *stack_pop(stack *s)
{
    if (!s)
        return nullptr;
    if (--s->top < 0) {
        std::free(s);
        return nullptr;
    }
    return s;
}

int32_t stack_get_top(const stack *s)
{
    return s->top;
}

int32_t stack_get_capacity(const stack *s)
{
    return s->capacity;
}

void *stack_get(stack *s, int32_t index, size_t element_size)
{
    return elements(s) + static_cast<size_t>(index) * element_size;
}

const void *stack_get(const stack *s, int32_t index, size_t element_size)
{
    return stack_get(const_cast<stack *>(s), index, element_size);
}
