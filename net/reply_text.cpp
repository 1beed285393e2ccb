#include "net/reply_text.h"

#include <algorithm>
#include <cstring>

namespace net_detail {

bool CReplyText::Append(const char* pData, size_t nBytes) {
    m_nReceived += nBytes;
    if (m_nReceived > kMaxReplyBytes) {
        m_bTooLong = true;
        return false;
    }
    for (size_t nOffset = 0; nOffset < nBytes; nOffset += kPieceBytes) {
        size_t nPiece = std::min(kPieceBytes, nBytes - nOffset);
        const char* pPiece = pData + nOffset;
        const void* pNul = std::memchr(pPiece, '\0', nPiece);
        if (pNul != nullptr)
            nPiece = static_cast<size_t>(static_cast<const char*>(pNul) - pPiece);
        m_strText.append(pPiece, nPiece);
    }
    return true;
}

}  // namespace net_detail
