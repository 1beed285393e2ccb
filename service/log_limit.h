#pragma once
// A rate limit for the log lines of refused requests: a flood of bad requests costs the client
// little and must not fill the service's log. Lines beyond the limit are counted, and the count
// is written before the next line that is let through (and when the service stops).

#include <chrono>
#include <cstdint>
#include <mutex>

namespace zavsvc {

class CLogLimiter {
public:
    // nPerSecond lines a second on average, up to nBurst at once.
    CLogLimiter(double dPerSecond, double dBurst) : m_dPerSecond(dPerSecond), m_dBurst(dBurst) {}

    // True when one more line may be written; writes the count of lines left out before it.
    bool Admit();
    // Writes the count of lines left out since the last line written, if any.
    void Flush();

private:
    void WriteSkipped();

    const double m_dPerSecond;
    const double m_dBurst;
    std::mutex m_mutex;
    double m_dTokens = -1;  // below 0: not started
    std::chrono::steady_clock::time_point m_last;
    uint64_t m_nSkipped = 0;
};

}  // namespace zavsvc
