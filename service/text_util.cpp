#include "service/text_util.h"

#include <iconv.h>

#include <cerrno>
#include <memory>

namespace zavsvc {
namespace {

struct SIconvCloser {
    void operator()(void* p) const { ::iconv_close(static_cast<iconv_t>(p)); }
};
using IconvPtr = std::unique_ptr<void, SIconvCloser>;

// The text in another code page, with room for nOutBytes; nullopt when it does not convert.
std::optional<std::string> Convert(const char* pszTo, const char* pszFrom, std::string_view text,
                                   size_t nOutBytes) {
    iconv_t cd = ::iconv_open(pszTo, pszFrom);
    if (cd == reinterpret_cast<iconv_t>(-1)) {
        return std::nullopt;
    }
    IconvPtr guard(cd);
    std::string strIn(text);
    std::string strOut(nOutBytes, '\0');
    char* pIn = strIn.data();
    size_t nIn = strIn.size();
    char* pOut = strOut.data();
    size_t nOut = strOut.size();
    if (::iconv(cd, &pIn, &nIn, &pOut, &nOut) == static_cast<size_t>(-1)) {
        return std::nullopt;
    }
    strOut.resize(strOut.size() - nOut);
    return strOut;
}

}  // namespace

std::optional<std::string> Cp949FromUtf8(std::string_view utf8) {
    if (!IsValidUtf8(utf8)) {
        return std::nullopt;
    }
    return Convert("CP949", "UTF-8", utf8, utf8.size() * 2 + 4);
}

std::optional<std::string> Utf8FromCp949(std::string_view cp949) {
    // A CP949 character of two bytes is at most three in UTF-8.
    return Convert("UTF-8", "CP949", cp949, cp949.size() * 3 / 2 + 4);
}

bool IsValidUtf8(std::string_view text) {
    size_t i = 0;
    while (i < text.size()) {
        auto c = static_cast<unsigned char>(text[i]);
        size_t nMore;
        unsigned int nCode;
        if (c < 0x80) {
            ++i;
            continue;
        } else if ((c & 0xE0) == 0xC0) {
            nMore = 1;
            nCode = c & 0x1F;
        } else if ((c & 0xF0) == 0xE0) {
            nMore = 2;
            nCode = c & 0x0F;
        } else if ((c & 0xF8) == 0xF0) {
            nMore = 3;
            nCode = c & 0x07;
        } else {
            return false;
        }
        if (i + nMore >= text.size()) {
            return false;
        }
        for (size_t k = 1; k <= nMore; ++k) {
            auto cc = static_cast<unsigned char>(text[i + k]);
            if ((cc & 0xC0) != 0x80) {
                return false;
            }
            nCode = (nCode << 6) | (cc & 0x3F);
        }
        static constexpr unsigned int kMin[] = {0, 0x80, 0x800, 0x10000};
        if (nCode < kMin[nMore] || nCode > 0x10FFFF || (nCode >= 0xD800 && nCode <= 0xDFFF)) {
            return false;
        }
        i += nMore + 1;
    }
    return true;
}

bool IsValidMemberId(std::string_view id) {
    if (id.empty() || id.front() == '.') {
        return false;
    }
    size_t nWireBytes = 0;
    size_t i = 0;
    while (i < id.size()) {
        const auto c = static_cast<unsigned char>(id[i]);
        if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
            c == '_' || c == '-' || c == '.') {
            i += 1;
            nWireBytes += 1;
            continue;
        }
        // A Hangul syllable, U+AC00 to U+D7A3: three bytes in UTF-8, two in CP949.
        if ((c & 0xF0u) != 0xE0u || i + 3 > id.size() || !IsValidUtf8(id.substr(i, 3))) {
            return false;
        }
        const unsigned nCode = (c & 0x0Fu) << 12 |
                               (static_cast<unsigned char>(id[i + 1]) & 0x3Fu) << 6 |
                               (static_cast<unsigned char>(id[i + 2]) & 0x3Fu);
        if (nCode < 0xAC00 || nCode > 0xD7A3) {
            return false;
        }
        i += 3;
        nWireBytes += 2;
    }
    return nWireBytes <= 31;
}

std::optional<std::string> MemberIdFromWire(std::string_view cp949) {
    std::optional<std::string> id = Utf8FromCp949(cp949);
    if (!id || !IsValidMemberId(*id)) {
        return std::nullopt;
    }
    return id;
}

std::optional<std::string> FormField(std::string_view body, std::string_view name) {
    size_t nPos = 0;
    while (nPos <= body.size()) {
        size_t nEnd = body.find('&', nPos);
        if (nEnd == std::string_view::npos) {
            nEnd = body.size();
        }
        std::string_view field = body.substr(nPos, nEnd - nPos);
        size_t nEq = field.find('=');
        if (nEq != std::string_view::npos && field.substr(0, nEq) == name) {
            return std::string(field.substr(nEq + 1));
        }
        nPos = nEnd + 1;
    }
    return std::nullopt;
}

std::string EscapeForLog(std::string_view text) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string strOut;
    strOut.reserve(text.size());
    for (char c : text) {
        auto u = static_cast<unsigned char>(c);
        if (u >= 0x21 && u < 0x7F && c != '\\') {
            strOut += c;
        } else {
            strOut += "\\x";
            strOut += kHex[u >> 4];
            strOut += kHex[u & 0x0F];
        }
    }
    return strOut;
}

std::string FormatLocalTime(std::time_t t) {
    std::tm tmLocal{};
    ::localtime_r(&t, &tmLocal);
    char sz[32];
    std::strftime(sz, sizeof sz, "%Y-%m-%d %H:%M:%S", &tmLocal);
    return sz;
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        auto ca = static_cast<unsigned char>(a[i]);
        auto cb = static_cast<unsigned char>(b[i]);
        if (ca >= 'A' && ca <= 'Z') {
            ca = static_cast<unsigned char>(ca + 32);
        }
        if (cb >= 'A' && cb <= 'Z') {
            cb = static_cast<unsigned char>(cb + 32);
        }
        if (ca != cb) {
            return false;
        }
    }
    return true;
}

}  // namespace zavsvc
