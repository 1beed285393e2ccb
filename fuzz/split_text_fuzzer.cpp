// SplitText against a plain reference splitter: the count, the copied piece, the cut result
// and the untouched output for a missing piece. The output buffer is exactly nCapacity bytes,
// so any write past it is caught by AddressSanitizer.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "app/split_text.h"

namespace {

struct SPiece {
    std::string_view text;
    bool bLast;  // the segment after the text's last delimiter
};

std::vector<SPiece> ReferencePieces(std::string_view text, std::string_view delimiter) {
    std::vector<SPiece> vec;
    size_t nStart = 0;
    while (true) {
        size_t nFound = text.find(delimiter, nStart);
        std::string_view piece = nFound == std::string_view::npos
                                     ? text.substr(nStart)
                                     : text.substr(nStart, nFound - nStart);
        if (!piece.empty())
            vec.push_back({piece, nFound == std::string_view::npos});
        if (nFound == std::string_view::npos)
            return vec;
        nStart = nFound + delimiter.size();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize) {
    FuzzedDataProvider provider(pData, nSize);
    const std::string strDelimiter = provider.ConsumeRandomLengthString(8);
    const int nIndex = provider.ConsumeIntegralInRange<int>(-2, 64);
    const size_t nCapacity = provider.ConsumeIntegralInRange<size_t>(0, 128);
    const bool bCopy = provider.ConsumeBool();
    const std::string strText = provider.ConsumeRemainingBytesAsString();

    // The splitter reads C texts: both stop at the first NUL.
    const std::string_view text(strText.c_str());
    const std::string_view delimiter(strDelimiter.c_str());

    std::vector<char> vecOut(nCapacity, '\x5a');
    char* pOut = bCopy ? (nCapacity ? vecOut.data() : new char[0]) : nullptr;
    const int nResult = SplitText(strText.c_str(), strDelimiter.c_str(), nIndex, pOut, nCapacity);

    if (delimiter.empty()) {
        if (nResult != 0)
            abort();
    } else {
        const std::vector<SPiece> vecPieces = ReferencePieces(text, delimiter);
        int nExpected = static_cast<int>(vecPieces.size());
        const bool bHit = bCopy && nIndex >= 0 && static_cast<size_t>(nIndex) < vecPieces.size();
        if (bHit) {
            const SPiece& piece = vecPieces[static_cast<size_t>(nIndex)];
            const bool bCut = nCapacity == 0 || piece.text.size() >= nCapacity - 1;
            if (piece.bLast && bCut)
                nExpected = -1;
            if (nCapacity > 0) {
                const size_t nCopy = std::min(piece.text.size(), nCapacity - 1);
                if (std::memcmp(vecOut.data(), piece.text.data(), nCopy) != 0 ||
                    vecOut[nCopy] != '\0')
                    abort();
                for (size_t i = nCopy + 1; i < nCapacity; ++i)
                    if (vecOut[i] != '\x5a')
                        abort();
            }
        } else {
            for (char c : vecOut)
                if (c != '\x5a')
                    abort();
        }
        if (nResult != nExpected)
            abort();
    }
    if (bCopy && nCapacity == 0)
        delete[] pOut;
    return 0;
}
