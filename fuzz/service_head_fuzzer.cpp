// The service's request-head reader: whatever bytes arrive, fed whole or in any pieces, it
// settles the same way with the same head, refuses only with its three statuses, and a head it
// takes keeps to its limits.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "service/http_head.h"

namespace {

using zavsvc::CHeadParser;

constexpr zavsvc::SHeadLimits kLimits{512, 256, 8, 2048};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize) {
    if (nSize == 0)
        return 0;
    // The first byte chooses where the bytes are cut into pieces.
    const size_t nStep = 1 + pData[0] % 31;
    const std::string_view bytes(reinterpret_cast<const char*>(pData) + 1, nSize - 1);

    CHeadParser whole(kLimits);
    whole.Feed(bytes);
    CHeadParser pieces(kLimits);
    for (size_t nPos = 0; nPos < bytes.size(); nPos += nStep)
        pieces.Feed(bytes.substr(nPos, nStep));

    if (whole.State() != pieces.State() || whole.Status() != pieces.Status())
        abort();
    if (whole.State() == CHeadParser::EState::Refused) {
        const int nStatus = whole.Status();
        if (nStatus != 400 && nStatus != 414 && nStatus != 431)
            abort();
        return 0;
    }
    if (whole.State() == CHeadParser::EState::Complete) {
        const zavsvc::SRequestHead& head = whole.Head();
        if (head.vecFields.size() > kLimits.nMaxHeaders ||
            head.vecFields != pieces.Head().vecFields || head.strTarget != pieces.Head().strTarget)
            abort();
        if (head.strVersion != "HTTP/1.0" && head.strVersion != "HTTP/1.1")
            abort();
        // Bytes after the piece that completed the head are not taken: the rest seen in pieces
        // is the start of the rest seen whole.
        if (whole.Rest().substr(0, pieces.Rest().size()) != pieces.Rest())
            abort();
        zavsvc::HeadForServer(head);
        zavsvc::LastForwardedFor(head);
    }
    return 0;
}
