#include "platform/codepage.h"

#ifdef _WIN32
#include <windows.h>

namespace {

constexpr UINT kCodePage949 = 949;

// UTF-16 of the whole input in code page nCodePage; false on a malformed sequence.
bool ToWide(UINT nCodePage, std::string_view in, std::wstring& wide) {
    wide.clear();
    if (in.empty())
        return true;
    const int nBytes = static_cast<int>(in.size());
    int nUnits =
        MultiByteToWideChar(nCodePage, MB_ERR_INVALID_CHARS, in.data(), nBytes, nullptr, 0);
    if (nUnits <= 0)
        return false;
    wide.resize(static_cast<size_t>(nUnits));
    return MultiByteToWideChar(nCodePage, MB_ERR_INVALID_CHARS, in.data(), nBytes, wide.data(),
                               nUnits) == nUnits;
}

// The bytes of wide in nCodePage; false when a character has no counterpart there.
bool FromWide(UINT nCodePage, const std::wstring& wide, std::string& out) {
    out.clear();
    if (wide.empty())
        return true;
    const int nUnits = static_cast<int>(wide.size());
    // UTF-8 refuses the "default character used" report; its own flag catches lone surrogates.
    const bool bUtf8 = nCodePage == CP_UTF8;
    DWORD dwFlags = bUtf8 ? WC_ERR_INVALID_CHARS : WC_NO_BEST_FIT_CHARS;
    BOOL bDefaultUsed = FALSE;
    BOOL* pDefaultUsed = bUtf8 ? nullptr : &bDefaultUsed;
    int nBytes = WideCharToMultiByte(nCodePage, dwFlags, wide.data(), nUnits, nullptr, 0, nullptr,
                                     pDefaultUsed);
    if (nBytes <= 0 || bDefaultUsed)
        return false;
    out.resize(static_cast<size_t>(nBytes));
    return WideCharToMultiByte(nCodePage, dwFlags, wide.data(), nUnits, out.data(), nBytes, nullptr,
                               pDefaultUsed) == nBytes &&
           !bDefaultUsed;
}

}  // namespace

bool Utf8ToCp949(std::string_view utf8, std::string& out) {
    std::wstring wide;
    std::string result;
    if (!IsValidUtf8(utf8) || !ToWide(CP_UTF8, utf8, wide) || !FromWide(kCodePage949, wide, result))
        return false;
    out = std::move(result);
    return true;
}

bool Cp949ToUtf8(std::string_view cp949, std::string& out) {
    std::wstring wide;
    std::string result;
    if (!ToWide(kCodePage949, cp949, wide) || !FromWide(CP_UTF8, wide, result))
        return false;
    out = std::move(result);
    return true;
}

#else
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
    // iconv_open's failure value is (iconv_t)-1.
    if (cd == reinterpret_cast<iconv_t>(-1))  // NOLINT(performance-no-int-to-ptr)
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

#endif  // _WIN32

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
