// The stall rule of the transports that count progress themselves (WinINet): a transfer that
// moves fewer than kStallSeconds bytes in a window of kStallSeconds seconds (below 1 byte/s)
// is stalled. A wholly silent peer is caught by the socket's own 60 s time limits; this rule
// also catches one that trickles. Internal to net/.
#pragma once

#include <chrono>
#include <cstddef>

#include "net/http_request.h"

namespace net_detail {

class CStallGuard {
public:
    using Clock = std::chrono::steady_clock;

    explicit CStallGuard(Clock::time_point start) : m_windowStart(start) {}

    // Records nBytes moved at now; true when the window that just closed carried too little.
    bool Stalled(size_t nBytes, Clock::time_point now) {
        m_nWindowBytes += nBytes;
        if (now - m_windowStart < kWindow)
            return false;
        if (m_nWindowBytes < static_cast<size_t>(kStallSeconds))
            return true;
        m_windowStart = now;
        m_nWindowBytes = 0;
        return false;
    }

private:
    static constexpr std::chrono::seconds kWindow{kStallSeconds};
    Clock::time_point m_windowStart;
    size_t m_nWindowBytes = 0;
};

}  // namespace net_detail
