#pragma once
// One accepted connection, and the stream through which a worker serves its request: the head
// the front has already read comes first, then the socket (plain or TLS), non-blocking, with
// a minimum rate in each direction and an immediate end when the service stops.

#include <httplib.h>
#include <openssl/ssl.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <optional>
#include <string>

#include "service/http_head.h"

namespace zavsvc {

struct SSslFree {
    void operator()(SSL* p) const { SSL_free(p); }
};
using SslPtr = std::unique_ptr<SSL, SSslFree>;

struct SConnection {
    SConnection() = default;
    ~SConnection();
    SConnection(const SConnection&) = delete;
    SConnection& operator=(const SConnection&) = delete;

    int fd = -1;          // non-blocking; closed with the object
    SslPtr ssl;           // set on the HTTPS listener
    std::string strPeer;  // the socket's peer address, canonical text
    int nPeerPort = 0;
    // The address requests are bound to: the peer, or behind a trusted proxy the client it
    // forwarded for.
    std::string strClient;
    std::string strLocal;
    int nLocalPort = 0;
};

// One non-blocking transfer on a connection, TLS or not: the bytes moved, 0 when the peer ended
// (reads), -1 on an error, or kWouldBlock, with *pbOtherWay set when TLS first needs the socket
// ready the other way (writable for a read, readable for a write).
inline constexpr ssize_t kWouldBlock = -2;
ssize_t ReadSome(SConnection& conn, char* p, size_t n, bool* pbOtherWay);
ssize_t WriteSome(SConnection& conn, const char* p, size_t n, bool* pbOtherWay);
// Sends TLS close_notify (without waiting for the peer's) and ends the sending side.
void EndSending(SConnection& conn);

// A transfer must move nMinBytesPerWindow bytes within each window, or it is given up. A reply
// moves when the client takes its bytes: those still in the socket's send queue do not count.
struct SRateLimit {
    std::chrono::milliseconds window{10000};
    size_t nMinBytesPerWindow = 5000;
};

class CConnStream : public httplib::Stream {
public:
    // strInput: bytes to read before the socket's (the head and what arrived with it).
    // bStopping and nStopFd (readable once set) tell that the service stops.
    CConnStream(SConnection& conn, std::string strInput, SRateLimit rate,
                const std::atomic<bool>& bStopping, int nStopFd);

    bool is_readable() const override;
    bool is_writable() const override;
    ssize_t read(char* ptr, size_t size) override;
    ssize_t write(const char* ptr, size_t size) override;
    void get_remote_ip_and_port(std::string& ip, int& port) const override;
    void get_local_ip_and_port(std::string& ip, int& port) const override;
    socket_t socket() const override { return m_conn.fd; }

    // The body after the first nHeadBytes of the input is chunked: its framing is followed
    // (CChunkFraming), and reading fails where the framing does.
    void GuardChunkedBody(size_t nHeadBytes);

    bool Failed() const { return m_bFailed; }

private:
    enum class EDirection { None, In, Out };

    // Fills m_strInput from the socket; false when the peer closed or the transfer failed.
    bool Fill();
    // Waits for the socket (POLLIN or POLLOUT) within the current window; false on the stop
    // signal, an error or a missed minimum rate.
    bool Wait(short nEvents);
    void Moved(EDirection eDirection, size_t n);

    SConnection& m_conn;
    std::string m_strInput;
    size_t m_nInputPos = 0;
    SRateLimit m_rate;
    const std::atomic<bool>& m_bStopping;
    int m_nStopFd;
    EDirection m_eDirection = EDirection::None;
    std::chrono::steady_clock::time_point m_windowStart;
    size_t m_nWindowBytes = 0;
    bool m_bEof = false;
    bool m_bFailed = false;
    bool m_bBadFraming = false;  // reading ended by the chunk framing, writing still works
    std::optional<CChunkFraming> m_chunks;
    size_t m_nUnguarded = 0;  // input bytes still to read before the chunked body
};

}  // namespace zavsvc
