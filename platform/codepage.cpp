#include "platform/codepage.h"

#include <iconv.h>

#include <cerrno>
#include <memory>

namespace {

struct IconvCloser {
    void operator()(void* cd) const { iconv_close(static_cast<iconv_t>(cd)); }
};
using IconvHandle = std::unique_ptr<void, IconvCloser>;

IconvHandle OpenConverter(const char* to, const char* from) {
    iconv_t cd = iconv_open(to, from);
    if (cd == reinterpret_cast<iconv_t>(-1))
        return nullptr;
    return IconvHandle(cd);
}

// Converts the whole input; false on any sequence that has no counterpart or is malformed.
bool Convert(const char* to, const char* from, std::string_view in, std::string& out) {
    IconvHandle cd = OpenConverter(to, from);
    if (!cd)
        return false;
    std::string result(in.size() * 2 + 16, '\0');
    char* pIn = const_cast<char*>(in.data());
    size_t nInLeft = in.size();
    size_t nUsed = 0;
    while (true) {
        char* pOut = result.data() + nUsed;
        size_t nOutLeft = result.size() - nUsed;
        size_t rc = iconv(static_cast<iconv_t>(cd.get()), nInLeft ? &pIn : nullptr, &nInLeft, &pOut,
                          &nOutLeft);
        nUsed = result.size() - nOutLeft;
        if (rc != static_cast<size_t>(-1)) {
            if (nInLeft == 0)
                break;
            continue;
        }
        if (errno == E2BIG) {
            result.resize(result.size() * 2);
            continue;
        }
        return false;  // EILSEQ or EINVAL: not convertible
    }
    result.resize(nUsed);
    out = std::move(result);
    return true;
}

}  // namespace

bool Utf8ToCp949(std::string_view utf8, std::string& out) {
    if (!IsValidUtf8(utf8))
        return false;
    return Convert("CP949", "UTF-8", utf8, out);
}

bool Cp949ToUtf8(std::string_view cp949, std::string& out) {
    return Convert("UTF-8", "CP949", cp949, out);
}

std::string Cp949ToUtf8Lossy(std::string_view cp949) {
    std::string out;
    std::string piece;
    size_t i = 0;
    while (i < cp949.size()) {
        // Take one character: a single byte below 0x80, else a lead byte and a trail byte.
        size_t nLen = static_cast<unsigned char>(cp949[i]) < 0x80 ? 1 : 2;
        if (i + nLen > cp949.size())
            nLen = 1;
        if (Cp949ToUtf8(cp949.substr(i, nLen), piece)) {
            out += piece;
        } else {
            out += "\xEF\xBF\xBD";
            nLen = 1;
        }
        i += nLen;
    }
    return out;
}

bool IsValidUtf8(std::string_view text) {
    size_t i = 0;
    while (i < text.size()) {
        auto c = static_cast<unsigned char>(text[i]);
        size_t nLen;
        unsigned nMin;
        unsigned nCode;
        if (c < 0x80) {
            ++i;
            continue;
        } else if ((c & 0xE0) == 0xC0) {
            nLen = 2, nMin = 0x80, nCode = c & 0x1F;
        } else if ((c & 0xF0) == 0xE0) {
            nLen = 3, nMin = 0x800, nCode = c & 0x0F;
        } else if ((c & 0xF8) == 0xF0) {
            nLen = 4, nMin = 0x10000, nCode = c & 0x07;
        } else {
            return false;
        }
        if (i + nLen > text.size())
            return false;
        for (size_t k = 1; k < nLen; ++k) {
            auto t = static_cast<unsigned char>(text[i + k]);
            if ((t & 0xC0) != 0x80)
                return false;
            nCode = (nCode << 6) | (t & 0x3F);
        }
        if (nCode < nMin || nCode > 0x10FFFF || (nCode >= 0xD800 && nCode <= 0xDFFF))
            return false;
        i += nLen;
    }
    return true;
}
