#include "service/log_limit.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>

namespace zavsvc {

bool CLogLimiter::Admit() {
    std::lock_guard lock(m_mutex);
    const auto now = std::chrono::steady_clock::now();
    if (m_dTokens < 0) {
        m_dTokens = m_dBurst;
    } else {
        const std::chrono::duration<double> elapsed = now - m_last;
        m_dTokens = std::min(m_dBurst, m_dTokens + elapsed.count() * m_dPerSecond);
    }
    m_last = now;
    if (m_dTokens < 1) {
        ++m_nSkipped;
        return false;
    }
    m_dTokens -= 1;
    WriteSkipped();
    return true;
}

void CLogLimiter::Flush() {
    std::lock_guard lock(m_mutex);
    WriteSkipped();
}

void CLogLimiter::WriteSkipped() {
    if (m_nSkipped > 0) {
        std::fprintf(stderr, "zav-service: %" PRIu64 " refused requests not logged\n", m_nSkipped);
        m_nSkipped = 0;
    }
}

}  // namespace zavsvc
