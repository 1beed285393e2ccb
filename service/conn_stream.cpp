#include "service/conn_stream.h"

#include <linux/sockios.h>
#include <openssl/err.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace zavsvc {
namespace {

constexpr size_t kReadChunk = 16 * 1024;
constexpr size_t kMaxTlsChunk = 1 << 20;  // SSL_read and SSL_write take an int

// -1, or kWouldBlock for the errors that only say "not now".
ssize_t SocketError() {
    return (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) ? kWouldBlock : -1;
}

// The result of an SSL_read or SSL_write that moved nothing.
ssize_t TlsError(SSL* pSsl, int r, bool bReading, bool* pbOtherWay) {
    switch (SSL_get_error(pSsl, r)) {
        case SSL_ERROR_ZERO_RETURN:
            return 0;
        case SSL_ERROR_WANT_READ:
            *pbOtherWay = !bReading;
            return kWouldBlock;
        case SSL_ERROR_WANT_WRITE:
            *pbOtherWay = bReading;
            return kWouldBlock;
        default:
            return -1;
    }
}

// Bytes the socket still holds to send or to have acknowledged; -1 when unknown.
int QueuedToSend(int fd) {
    int n = 0;
    return ::ioctl(fd, SIOCOUTQ, &n) == 0 ? n : -1;
}

}  // namespace

ssize_t ReadSome(SConnection& conn, char* p, size_t n, bool* pbOtherWay) {
    *pbOtherWay = false;
    if (!conn.ssl) {
        ssize_t r = ::recv(conn.fd, p, n, 0);
        return r < 0 ? SocketError() : r;
    }
    ERR_clear_error();
    int r = SSL_read(conn.ssl.get(), p, static_cast<int>(std::min(n, kMaxTlsChunk)));
    return r > 0 ? r : TlsError(conn.ssl.get(), r, true, pbOtherWay);
}

ssize_t WriteSome(SConnection& conn, const char* p, size_t n, bool* pbOtherWay) {
    *pbOtherWay = false;
    if (!conn.ssl) {
        ssize_t r = ::send(conn.fd, p, n, MSG_NOSIGNAL);
        return r < 0 ? SocketError() : r;
    }
    ERR_clear_error();
    int r = SSL_write(conn.ssl.get(), p, static_cast<int>(std::min(n, kMaxTlsChunk)));
    if (r > 0) {
        return r;
    }
    ssize_t nResult = TlsError(conn.ssl.get(), r, false, pbOtherWay);
    return nResult == 0 ? -1 : nResult;  // close_notify from the peer while we write
}

void EndSending(SConnection& conn) {
    if (conn.ssl) {
        ERR_clear_error();
        SSL_shutdown(conn.ssl.get());
    }
    ::shutdown(conn.fd, SHUT_WR);
}

SConnection::~SConnection() {
    ssl.reset();
    if (fd >= 0) {
        ::close(fd);
    }
}

CConnStream::CConnStream(SConnection& conn, std::string strInput, SRateLimit rate,
                         const std::atomic<bool>& bStopping, int nStopFd)
    : m_conn(conn),
      m_strInput(std::move(strInput)),
      m_rate(rate),
      m_bStopping(bStopping),
      m_nStopFd(nStopFd) {}

bool CConnStream::is_readable() const {
    return !m_bFailed && !m_bBadFraming && (m_nInputPos < m_strInput.size() || !m_bEof);
}

bool CConnStream::is_writable() const {
    return !m_bFailed;
}

void CConnStream::Moved(EDirection eDirection, size_t n) {
    const auto now = std::chrono::steady_clock::now();
    // Each direction gets a fresh window when it starts: the time a handler spends between
    // reading the body and writing the reply is not the client's.
    if (m_eDirection != eDirection) {
        m_eDirection = eDirection;
        m_windowStart = now;
        m_nWindowBytes = 0;
    }
    m_nWindowBytes += n;
    if (m_nWindowBytes >= m_rate.nMinBytesPerWindow) {
        m_windowStart = now;
        m_nWindowBytes = 0;
    }
}

void CConnStream::GuardChunkedBody(size_t nHeadBytes) {
    m_chunks.emplace();
    m_nUnguarded = nHeadBytes;
}

bool CConnStream::Wait(short nEvents) {
    // While a reply waits for room in a full send buffer, what the client takes out of the
    // socket's queue is its progress: a large buffer signals room only after it has drained by
    // a good part, which a slow but steady reader may take longer than a window for.
    const bool bSending = m_eDirection == EDirection::Out;
    const auto slice = std::max<std::chrono::milliseconds::rep>(m_rate.window.count() / 5, 1);
    int nQueued = bSending ? QueuedToSend(m_conn.fd) : -1;
    while (true) {
        const auto deadline = m_windowStart + m_rate.window;
        auto nLeft = std::chrono::duration_cast<std::chrono::milliseconds>(
                         deadline - std::chrono::steady_clock::now())
                         .count();
        if (nLeft <= 0) {
            return false;
        }
        pollfd afds[2] = {{m_conn.fd, nEvents, 0}, {m_nStopFd, POLLIN, 0}};
        int r = ::poll(afds, 2, static_cast<int>(nQueued >= 0 ? std::min(nLeft, slice) : nLeft));
        if (r < 0 && errno == EINTR) {
            continue;
        }
        if (r < 0 || afds[1].revents != 0) {
            return false;
        }
        if (afds[0].revents != 0) {
            return true;  // ready, or an error the next call reports
        }
        if (nQueued >= 0) {
            const int nNow = QueuedToSend(m_conn.fd);
            if (nNow >= 0 && nNow < nQueued) {
                Moved(EDirection::Out, static_cast<size_t>(nQueued - nNow));
            }
            nQueued = nNow;
        }
    }
}

bool CConnStream::Fill() {
    if (m_eDirection != EDirection::In) {
        Moved(EDirection::In, 0);
    }
    m_strInput.resize(kReadChunk);
    m_nInputPos = 0;
    ssize_t n = kWouldBlock;
    while (!m_bStopping.load(std::memory_order_relaxed)) {
        bool bOtherWay = false;
        n = ReadSome(m_conn, m_strInput.data(), kReadChunk, &bOtherWay);
        if (n != kWouldBlock || !Wait(bOtherWay ? POLLOUT : POLLIN)) {
            break;
        }
    }
    if (n > 0) {
        m_strInput.resize(static_cast<size_t>(n));
        Moved(EDirection::In, static_cast<size_t>(n));
        return true;
    }
    m_strInput.clear();
    m_bEof = n == 0;
    m_bFailed = !m_bEof;
    return false;
}

ssize_t CConnStream::read(char* ptr, size_t size) {
    if (m_bBadFraming) {
        return -1;
    }
    if (m_nInputPos >= m_strInput.size() && (m_bFailed || m_bEof || !Fill())) {
        return m_bFailed ? -1 : 0;
    }
    size_t n = std::min(size, m_strInput.size() - m_nInputPos);
    std::memcpy(ptr, m_strInput.data() + m_nInputPos, n);
    m_nInputPos += n;
    if (m_chunks) {
        const size_t nSkip = std::min(n, m_nUnguarded);
        m_nUnguarded -= nSkip;
        if (!m_chunks->Feed(std::string_view(ptr + nSkip, n - nSkip))) {
            m_bBadFraming = true;  // the reply (400) can still be written
            return -1;
        }
    }
    return static_cast<ssize_t>(n);
}

ssize_t CConnStream::write(const char* ptr, size_t size) {
    if (m_bFailed) {
        return -1;
    }
    if (m_eDirection != EDirection::Out) {
        Moved(EDirection::Out, 0);
    }
    while (!m_bStopping.load(std::memory_order_relaxed)) {
        bool bOtherWay = false;
        ssize_t n = WriteSome(m_conn, ptr, size, &bOtherWay);
        if (n > 0) {
            Moved(EDirection::Out, static_cast<size_t>(n));
            return n;
        }
        if (n != kWouldBlock || !Wait(bOtherWay ? POLLIN : POLLOUT)) {
            break;
        }
    }
    m_bFailed = true;
    return -1;
}

void CConnStream::get_remote_ip_and_port(std::string& ip, int& port) const {
    ip = m_conn.strClient;
    port = m_conn.nPeerPort;
}

void CConnStream::get_local_ip_and_port(std::string& ip, int& port) const {
    ip = m_conn.strLocal;
    port = m_conn.nLocalPort;
}

}  // namespace zavsvc
