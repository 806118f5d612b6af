#include "net/address.hpp"

#include <cctype>

namespace {

template <int (*convert)(int)>
void convert_in_place(char *text)
{
    if (text == nullptr)
        return;
    for (; *text != '\0'; ++text)
        *text = static_cast<char>(convert(static_cast<unsigned char>(*text)));
}

} // namespace

void string_to_upper(char *text)
{
    convert_in_place<std::toupper>(text);
}

void string_to_lower(char *text)
{
    convert_in_place<std::tolower>(text);
}
