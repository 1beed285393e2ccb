#include "service/conn_stream.h"

#include <openssl/err.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace zavsvc {
namespace {

constexpr size_t kReadChunk = 16 * 1024;

}  // namespace

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
    return !m_bFailed && (m_nInputPos < m_strInput.size() || !m_bEof);
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

bool CConnStream::Wait(short nEvents) {
    const auto deadline = m_windowStart + m_rate.window;
    while (true) {
        auto nLeft = std::chrono::duration_cast<std::chrono::milliseconds>(
                         deadline - std::chrono::steady_clock::now())
                         .count();
        if (nLeft <= 0) {
            return false;
        }
        pollfd afds[2] = {{m_conn.fd, nEvents, 0}, {m_nStopFd, POLLIN, 0}};
        int r = ::poll(afds, 2, static_cast<int>(nLeft));
        if (r < 0 && errno == EINTR) {
            continue;
        }
        if (r < 0 || afds[1].revents != 0) {
            return false;
        }
        if (afds[0].revents != 0) {
            return true;  // ready, or an error the next call reports
        }
    }
}

bool CConnStream::Fill() {
    const EDirection eWaitFor = EDirection::In;
    if (m_eDirection != eWaitFor) {
        Moved(eWaitFor, 0);
    }
    m_strInput.resize(kReadChunk);
    m_nInputPos = 0;
    while (true) {
        if (m_bStopping.load(std::memory_order_relaxed)) {
            break;
        }
        ssize_t n;
        short nWait = POLLIN;
        if (m_conn.ssl) {
            ERR_clear_error();
            int r = SSL_read(m_conn.ssl.get(), m_strInput.data(), static_cast<int>(kReadChunk));
            n = r;
            if (r <= 0) {
                int nError = SSL_get_error(m_conn.ssl.get(), r);
                if (nError == SSL_ERROR_ZERO_RETURN) {
                    n = 0;
                } else if (nError == SSL_ERROR_WANT_READ || nError == SSL_ERROR_WANT_WRITE) {
                    nWait = nError == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT;
                    n = -2;
                } else {
                    n = -1;
                }
            }
        } else {
            n = ::recv(m_conn.fd, m_strInput.data(), kReadChunk, 0);
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                n = -2;
            } else if (n < 0 && errno == EINTR) {
                continue;
            }
        }
        if (n > 0) {
            m_strInput.resize(static_cast<size_t>(n));
            Moved(EDirection::In, static_cast<size_t>(n));
            return true;
        }
        if (n == -2 && Wait(nWait)) {
            continue;
        }
        m_bEof = n == 0;
        break;
    }
    m_strInput.clear();
    m_bFailed = !m_bEof;
    return false;
}

ssize_t CConnStream::read(char* ptr, size_t size) {
    if (m_nInputPos >= m_strInput.size() && (m_bFailed || m_bEof || !Fill())) {
        return m_bFailed ? -1 : 0;
    }
    size_t n = std::min(size, m_strInput.size() - m_nInputPos);
    std::memcpy(ptr, m_strInput.data() + m_nInputPos, n);
    m_nInputPos += n;
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
        ssize_t n;
        short nWait = POLLOUT;
        if (m_conn.ssl) {
            ERR_clear_error();
            int nChunk = static_cast<int>(std::min<size_t>(size, 1 << 20));
            int r = SSL_write(m_conn.ssl.get(), ptr, nChunk);
            n = r;
            if (r <= 0) {
                int nError = SSL_get_error(m_conn.ssl.get(), r);
                if (nError == SSL_ERROR_WANT_READ || nError == SSL_ERROR_WANT_WRITE) {
                    nWait = nError == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT;
                    n = -2;
                } else {
                    n = -1;
                }
            }
        } else {
            n = ::send(m_conn.fd, ptr, size, MSG_NOSIGNAL);
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                n = -2;
            } else if (n < 0 && errno == EINTR) {
                continue;
            }
        }
        if (n > 0) {
            Moved(EDirection::Out, static_cast<size_t>(n));
            return n;
        }
        if (n == -2 && Wait(nWait)) {
            continue;
        }
        break;
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
