// The service's upload body parser: a content type for MultipartBoundary, then one body parsed
// twice, whole and in pieces of varying sizes. How the body arrives over the network must not
// change what is read: both runs agree on success and, when they succeed, on every part.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "service/multipart.h"

namespace {

using namespace zavsvc;

struct SRecordedPart {
    SPartHeaders headers;
    std::string strData;
    bool bEnded = false;
};

class CRecordingSink : public IMultipartSink {
public:
    bool OnPartBegin(const SPartHeaders& headers) override {
        if (!m_vecParts.empty() && !m_vecParts.back().bEnded)
            abort();  // a part began inside another
        m_vecParts.push_back({headers, {}, false});
        return true;
    }
    bool OnPartData(const char* p, size_t n) override {
        if (m_vecParts.empty() || m_vecParts.back().bEnded || n == 0)
            abort();
        m_vecParts.back().strData.append(p, n);
        return true;
    }
    bool OnPartEnd() override {
        if (m_vecParts.empty() || m_vecParts.back().bEnded)
            abort();
        m_vecParts.back().bEnded = true;
        return true;
    }
    std::vector<SRecordedPart> m_vecParts;
};

bool SameParts(const std::vector<SRecordedPart>& a, const std::vector<SRecordedPart>& b) {
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i) {
        const SPartHeaders& x = a[i].headers;
        const SPartHeaders& y = b[i].headers;
        if (x.strDisposition != y.strDisposition || x.strName != y.strName ||
            x.strFileName != y.strFileName || x.bHasFileName != y.bHasFileName ||
            x.strContentType != y.strContentType || a[i].strData != b[i].strData ||
            a[i].bEnded != b[i].bEnded)
            return false;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize) {
    FuzzedDataProvider provider(pData, nSize);
    const std::string strType = provider.ConsumeRandomLengthString(160);
    uint32_t nSeed = provider.ConsumeIntegral<uint32_t>();
    const std::string strBody = provider.ConsumeRemainingBytesAsString();

    std::optional<std::string> boundary = MultipartBoundary(strType);
    if (boundary && (boundary->empty() || boundary->size() > 70))
        abort();
    const std::string strBoundary = boundary ? *boundary : std::string("zav-boundary");

    CRecordingSink whole;
    CMultipartParser wholeParser(strBoundary, whole);
    const bool bWhole = wholeParser.Feed(strBody.data(), strBody.size()) && wholeParser.Finish();

    CRecordingSink pieces;
    CMultipartParser piecesParser(strBoundary, pieces);
    bool bPieces = true;
    size_t nPos = 0;
    const uint32_t nMaxPiece = (nSeed & 0xff) + 1;
    while (bPieces && nPos < strBody.size()) {
        nSeed = nSeed * 1103515245u + 12345u;
        size_t n = std::min<size_t>((nSeed >> 16) % nMaxPiece + 1, strBody.size() - nPos);
        bPieces = piecesParser.Feed(strBody.data() + nPos, n);
        nPos += n;
    }
    bPieces = bPieces && piecesParser.Finish();

    if (bWhole != bPieces)
        abort();
    if (bWhole) {
        if (!SameParts(whole.m_vecParts, pieces.m_vecParts))
            abort();
        for (const SRecordedPart& part : whole.m_vecParts)
            if (!part.bEnded)
                abort();
    } else if (wholeParser.Error().empty() || piecesParser.Error().empty()) {
        abort();  // a failure always says why
    }
    return 0;
}
