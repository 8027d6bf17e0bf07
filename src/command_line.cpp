#include "command_line.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <iostream>

#include "platform_process.h"

int option_number(const char* text)
{
    const char* p = text;
    while (*p == ' ' || (*p >= '\t' && *p <= '\r')) ++p;
    bool negative = false;
    if (*p == '+' || *p == '-') negative = *p++ == '-';
    long long value = 0;
    for (; *p >= '0' && *p <= '9'; ++p) {
        value = value * 10 + (*p - '0');
        if (value > static_cast<long long>(INT_MAX) + 1) value = static_cast<long long>(INT_MAX) + 1;
    }
    if (negative) value = -value;
    if (value > INT_MAX) value = INT_MAX;
    return static_cast<int>(value);
}

bool whole_number(const std::string& text, int least, int most, int& value)
{
    const bool digits = !text.empty() && text.size() <= 9 && text.find_first_not_of("0123456789") == std::string::npos;
    value = digits ? std::stoi(text) : -1;
    if (digits && value >= least && value <= most) return true;
    value = -1;
    return false;
}

bool Command_line::flag(const char* flag) const
{
    return std::strcmp(argument(), flag) == 0;
}

bool option_value(std::string_view argument, std::string_view prefix, std::string& value)
{
    if (argument.substr(0, prefix.size()) != prefix) return false;
    value = argument.substr(prefix.size());
    return true;
}

bool Command_line::text(const char* prefix, std::string& value) const
{
    return option_value(argument(), prefix, value);
}

bool Command_line::number(const char* prefix, int& value) const
{
    const std::size_t length = std::strlen(prefix);
    if (std::strncmp(argument(), prefix, length) != 0) return false;
    value = option_number(argument() + length);
    return true;
}

bool arguments_are_whole(const char* program)
{
    Error why;
    if (arguments_arrived_whole(why)) return true;
    std::cerr << program << ": " << why.text << std::endl;
    return false;
}

std::string next_list_entry(std::string_view& list)
{
    const std::size_t comma = std::min(list.find(','), list.size());
    const std::string entry(list.substr(0, comma));
    list.remove_prefix(std::min(comma + 1, list.size()));
    return entry;
}
