// The SavedVariables lexer against a plain look-ahead lexer written independently of its state
// machine, fed whole and in pieces of a size the input chooses (its last byte): all three
// must agree on how the text ends and on NUL bytes and stray closing braces.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "app/saved_variables_check.h"

namespace {

constexpr size_t kNone = std::string_view::npos;

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '\v' || c == '\0';
}

// The level of the long bracket opening at s[i] == '[', or kNone.
size_t LongLevel(std::string_view s, size_t i) {
    size_t j = i + 1;
    while (j < s.size() && s[j] == '=')
        ++j;
    return j < s.size() && s[j] == '[' ? j - i - 1 : kNone;
}

// The index after the closing bracket of this level at or after from, or kNone.
size_t LongClose(std::string_view s, size_t from, size_t nLevel) {
    for (size_t k = from; k < s.size(); ++k) {
        if (s[k] != ']')
            continue;
        size_t m = k + 1;
        while (m < s.size() && s[m] == '=')
            ++m;
        if (m < s.size() && s[m] == ']' && m - k - 1 == nLevel)
            return m + 1;
    }
    return kNone;
}

// The longest run of NUL bytes in s[from, to).
size_t LongestNulRun(std::string_view s, size_t from, size_t to) {
    size_t nLongest = 0;
    size_t nRun = 0;
    for (size_t k = from; k < to; ++k) {
        nRun = s[k] == '\0' ? nRun + 1 : 0;
        nLongest = std::max(nLongest, nRun);
    }
    return nLongest;
}

// The index after the quoted string opening at s[i], or kNone when the text ends inside it
// or a raw line break breaks it. nLongest: the longest run of raw NUL bytes read in it (an
// escaped byte is no part of a run).
size_t QuotedEnd(std::string_view s, size_t i, size_t& nLongest) {
    const char cQuote = s[i];
    size_t j = i + 1;
    size_t nRun = 0;
    while (j < s.size()) {
        const char c = s[j];
        if (c == cQuote)
            return j + 1;
        if (c == '\n' || c == '\r')
            return kNone;
        ++j;
        nRun = c == '\0' ? nRun + 1 : 0;
        nLongest = std::max(nLongest, nRun);
        if (c != '\\')
            continue;
        if (j >= s.size())
            return kNone;
        const char e = s[j++];
        if ((e == '\n' || e == '\r') && j < s.size() && (s[j] == '\n' || s[j] == '\r') && s[j] != e)
            ++j;
        if (e == 'z') {
            while (j < s.size() && IsBlank(s[j]) && s[j] != '\0')
                ++j;
        }
    }
    return kNone;
}

ELuaEnd Reference(std::string_view s) {
    long long nDepth = 0;
    long long nLowest = 0;
    bool bContent = false;
    bool bZeroed = false;
    // The text ends inside a string or comment (it has content: the bytes that opened it).
    auto cutOff = [&bZeroed](ELuaEnd eEnd) { return bZeroed ? ELuaEnd::Zeroed : eEnd; };
    size_t i = 0;
    while (i < s.size()) {
        const char c = s[i];
        if (!IsBlank(c))
            bContent = true;
        if (c == '-' && i + 1 < s.size() && s[i + 1] == '-') {
            size_t j = i + 2;
            if (j < s.size() && s[j] == '[') {
                size_t nLevel = LongLevel(s, j);
                if (nLevel != kNone) {
                    i = LongClose(s, j + nLevel + 2, nLevel);
                    bZeroed =
                        bZeroed || LongestNulRun(s, j, i == kNone ? s.size() : i) >= kLongNulRun;
                    if (i == kNone)
                        return cutOff(ELuaEnd::Comment);
                    continue;
                }
            }
            while (j < s.size() && s[j] != '\n' && s[j] != '\r')
                ++j;
            bZeroed = bZeroed || LongestNulRun(s, i, j) >= kLongNulRun;
            i = j;
        } else if (c == '[' && LongLevel(s, i) != kNone) {
            size_t nLevel = LongLevel(s, i);
            const size_t nStart = i;
            i = LongClose(s, i + nLevel + 2, nLevel);
            bZeroed = bZeroed || LongestNulRun(s, nStart, i == kNone ? s.size() : i) >= kLongNulRun;
            if (i == kNone)
                return cutOff(ELuaEnd::String);
        } else if (c == '"' || c == '\'') {
            size_t nLongest = 0;
            i = QuotedEnd(s, i, nLongest);
            bZeroed = bZeroed || nLongest >= kLongNulRun;
            if (i == kNone)
                return cutOff(ELuaEnd::String);
        } else {
            bZeroed = bZeroed || c == '\0';
            nDepth += c == '{' ? 1 : c == '}' ? -1 : 0;
            nLowest = std::min(nLowest, nDepth);
            ++i;
        }
    }
    if (!bContent)
        return ELuaEnd::Empty;
    if (bZeroed)
        return ELuaEnd::Zeroed;
    if (nDepth > 0)
        return ELuaEnd::Table;
    return nLowest < 0 ? ELuaEnd::Unbalanced : ELuaEnd::Clean;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize) {
    FuzzedDataProvider provider(pData, nSize);
    const size_t nPiece = provider.ConsumeIntegralInRange<size_t>(1, 64);
    const std::string strText = provider.ConsumeRemainingBytesAsString();

    const ELuaEnd eWhole = ScanLuaEnd(strText);
    CLuaEndScanner scanner;
    for (size_t i = 0; i < strText.size(); i += nPiece)
        scanner.Feed(std::string_view(strText).substr(i, nPiece));
    if (scanner.End() != eWhole || Reference(strText) != eWhole)
        abort();
    return 0;
}
