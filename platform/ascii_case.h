// Comparing names the way Windows compares file and executable names: ASCII letters without
// regard to case, every other byte (UTF-8 included) as it is.
#pragma once

#include <string_view>

constexpr char AsciiLower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

constexpr bool EqualAsciiNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (AsciiLower(a[i]) != AsciiLower(b[i]))
            return false;
    }
    return true;
}

constexpr bool StartsWithAsciiNoCase(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() && EqualAsciiNoCase(text.substr(0, prefix.size()), prefix);
}

constexpr bool EndsWithAsciiNoCase(std::string_view text, std::string_view suffix) {
    return text.size() >= suffix.size() &&
           EqualAsciiNoCase(text.substr(text.size() - suffix.size()), suffix);
}
