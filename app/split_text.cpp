#include "app/split_text.h"

#include <cstring>
#include <string_view>

namespace {

// Copies piece into pOut cut to nCapacity - 1 bytes; true when it was cut or filled the room.
bool CopyPiece(std::string_view piece, char* pOut, size_t nCapacity) {
    if (nCapacity == 0)
        return true;
    size_t nRoom = nCapacity - 1;
    size_t nCopy = piece.size() < nRoom ? piece.size() : nRoom;
    std::memcpy(pOut, piece.data(), nCopy);
    pOut[nCopy] = '\0';
    return piece.size() >= nRoom;
}

}  // namespace

int SplitText(const char* szText, const char* szDelimiter, int nIndex, char* pOut,
              size_t nCapacity) {
    if (szText == nullptr || szDelimiter == nullptr || *szDelimiter == '\0')
        return 0;
    // strnlen: a longer text is refused without reading all of it.
    size_t nLength = strnlen(szText, kSplitTextMaxLength + 1);
    if (nLength > kSplitTextMaxLength)
        return -1;

    std::string_view text(szText, nLength);
    std::string_view delimiter(szDelimiter);
    int nCount = 0;
    size_t nStart = 0;
    while (true) {
        size_t nFound = text.find(delimiter, nStart);
        bool bLast = nFound == std::string_view::npos;
        std::string_view piece =
            text.substr(nStart, bLast ? std::string_view::npos : nFound - nStart);
        if (!piece.empty()) {
            if (pOut != nullptr && nCount == nIndex) {
                bool bCut = CopyPiece(piece, pOut, nCapacity);
                if (bLast && bCut)
                    return -1;
            }
            ++nCount;
        }
        if (bLast)
            break;
        nStart = nFound + delimiter.size();
    }
    return nCount;
}
