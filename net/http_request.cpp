#include "net/http_request.h"

#include <cstring>

#include "platform/codepage.h"

std::optional<std::string> HttpRequest(const std::string& strUrl, int nMethod,
                                       const std::string* pBody) {
    SHttpReply reply = HttpExchange(strUrl, nMethod, pBody);
    // A reply cut off by a transport failure is not the server's answer: it counts as none.
    if (!reply.bTransportOk || reply.strBody.empty())
        return std::nullopt;
    return std::move(reply.strBody);
}

void Utf8ToLocal(const char* szSource, char* pDest) {
    if (szSource == nullptr || pDest == nullptr)
        return;
    std::string_view source(szSource);
    if (!IsValidUtf8(source))
        return;

    // The conversion goes through 260 UTF-16 units, the terminator included.
    size_t nUnits = 1;
    for (unsigned char c : source) {
        if ((c & 0xC0) == 0x80)
            continue;                   // continuation byte
        nUnits += (c >= 0xF0) ? 2 : 1;  // 4-byte sequences need a surrogate pair
    }
    if (nUnits > 260)
        return;

    std::string strLocal;
    if (!Utf8ToCp949(source, strLocal)) {
        // Characters CP949 lacks become '?', one per character.
        strLocal.clear();
        size_t nPos = 0;
        while (nPos < source.size()) {
            unsigned char c = static_cast<unsigned char>(source[nPos]);
            size_t nLen = c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
            std::string strOne;
            if (Utf8ToCp949(source.substr(nPos, nLen), strOne)) {
                strLocal += strOne;
            } else {
                strLocal += '?';
            }
            nPos += nLen;
        }
    }
    if (strLocal.size() + 1 > source.size() + 1)
        return;  // does not fit the destination
    std::memcpy(pDest, strLocal.c_str(), strLocal.size() + 1);
}
