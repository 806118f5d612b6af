// What a function writes to a stream, captured in memory as a string.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>

template <typename Write>
std::string printed(Write write)
{
    char *text = nullptr;
    size_t size = 0;
    FILE *stream = open_memstream(&text, &size);
    write(stream);
    std::fclose(stream);
    std::string out(text, size);
    std::free(text);
    return out;
}
