// The framing of chunked upload bodies: whatever bytes arrive, fed whole or in any pieces, it
// settles the same way, and a body it takes has no size line longer than its limit.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "service/http_head.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize) {
    if (nSize == 0)
        return 0;
    // The first byte chooses where the bytes are cut into pieces.
    const size_t nStep = 1 + pData[0] % 31;
    const std::string_view bytes(reinterpret_cast<const char*>(pData) + 1, nSize - 1);

    zavsvc::CChunkFraming whole;
    const bool bWhole = whole.Feed(bytes);
    zavsvc::CChunkFraming pieces;
    bool bPieces = true;
    for (size_t nPos = 0; nPos < bytes.size() && bPieces; nPos += nStep)
        bPieces = pieces.Feed(bytes.substr(nPos, nStep));
    if (bWhole != bPieces || whole.Done() != pieces.Done())
        abort();
    // Taken whole: every run of bytes without a line end before the first data is short.
    if (bWhole && !whole.Done()) {
        size_t nLine = 0;
        for (char c : bytes) {
            if (c == '\n')
                break;
            if (++nLine > zavsvc::CChunkFraming::kMaxLine)
                abort();
        }
    }
    return 0;
}
