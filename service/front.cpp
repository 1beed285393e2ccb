#include "service/front.h"

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "service/address.h"
#include "service/log_limit.h"
#include "service/text_util.h"

namespace zavsvc {
namespace {

using Clock = std::chrono::steady_clock;

constexpr uint64_t kWakeId = 0;
constexpr uint64_t kStopId = 1;
constexpr uint64_t kListenerBase = 2;  // listener i has the id kListenerBase + i
constexpr uint64_t kFirstConnId = 64;
constexpr size_t kReadChunk = 16 * 1024;
constexpr int kAcceptBatch = 64;
constexpr auto kAcceptPause = std::chrono::milliseconds(100);

const char* Reason(int nStatus) {
    switch (nStatus) {
        case 400:
            return "Bad Request";
        case 408:
            return "Request Timeout";
        case 411:
            return "Length Required";
        case 414:
            return "URI Too Long";
        case 431:
            return "Request Header Fields Too Large";
        case 503:
            return "Service Unavailable";
        default:
            return "Error";
    }
}

std::string ReplyText(int nStatus) {
    std::string strBody = std::string(Reason(nStatus)) + "\n";
    return "HTTP/1.1 " + std::to_string(nStatus) + " " + Reason(nStatus) +
           "\r\nContent-Type: text/plain\r\nContent-Length: " + std::to_string(strBody.size()) +
           "\r\nConnection: close\r\n\r\n" + strBody;
}

constexpr std::string_view kContinue = "HTTP/1.1 100 Continue\r\n\r\n";

bool ExpectsContinue(const SRequestHead& head) {
    for (auto value : FieldValues(head, "Expect")) {
        if (EqualsNoCase(value, "100-continue")) {
            return true;
        }
    }
    return false;
}

}  // namespace

size_t CFront::CAddressCounts::Add(const std::string& strKey) {
    std::lock_guard lock(m_mutex);
    return ++m_map[strKey];
}

void CFront::CAddressCounts::Remove(const std::string& strKey) {
    std::lock_guard lock(m_mutex);
    auto it = m_map.find(strKey);
    if (it != m_map.end() && --it->second == 0) {
        m_map.erase(it);
    }
}

struct CFront::SConn {
    SConn(std::atomic<size_t>& rCount, const SHeadLimits& limits)
        : rConnections(rCount), parser(limits) {}
    ~SConn() {
        rConnections.fetch_sub(1);
        if (pAddressCounts != nullptr) {
            pAddressCounts->Remove(strConnKey);
        }
    }
    SConn(const SConn&) = delete;
    SConn& operator=(const SConn&) = delete;

    std::atomic<size_t>& rConnections;
    CAddressCounts* pAddressCounts = nullptr;  // counts this connection under strConnKey
    std::string strConnKey;
    SConnection conn;
    SListener* pListener = nullptr;
    uint64_t nId = 0;
    EState eState = EState::Head;
    CHeadParser parser;
    bool bReceived = false;  // some bytes of a head arrived
    SRoute route;
    bool bChunked = false;
    bool bFormBody = false;  // the body is read here, before a worker takes the request
    size_t nBodyLength = 0;
    std::string strBody;
    std::string strBusyKey;  // counted in m_mapBusyByAddress under this key while not empty
    SPool* pPool = nullptr;
    std::string strInput;   // what the worker's stream reads first
    size_t nHeadBytes = 0;  // of strInput, before the body
    std::string strReply;
    size_t nReplySent = 0;
    uint32_t nWatched = 0;  // epoll events, 0 while not registered
    std::list<SConn*>* pTimers = nullptr;
    std::list<SConn*>::iterator itTimer;
    Clock::time_point deadline;
};

CFront::CFront(SFrontLimits limits, std::string strTrustedProxy, CLogLimiter* pLog)
    : m_limits(limits), m_strTrustedProxy(std::move(strTrustedProxy)), m_pLog(pLog) {
    m_general.limits = limits.general;
    m_login.limits = limits.login;
}

CFront::~CFront() {
    Stop();
    for (auto& pListener : m_vecListeners) {
        if (pListener->fd >= 0) {
            ::close(pListener->fd);
        }
    }
    for (int fd : {m_nEpoll, m_nWakeFd, m_nStopFd}) {
        if (fd >= 0) {
            ::close(fd);
        }
    }
}

int CFront::Listen(const std::string& strHost, int nPort, const char* pszScheme, SSL_CTX* pTls,
                   RouteFn route, ServeFn serve, std::string* pStrError) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE;
    addrinfo* pList = nullptr;
    const std::string strPort = std::to_string(nPort);
    int nGai = ::getaddrinfo(strHost.c_str(), strPort.c_str(), &hints, &pList);
    if (nGai != 0) {
        *pStrError = ::gai_strerror(nGai);
        return -1;
    }
    int fd = -1;
    int nError = 0;
    for (addrinfo* p = pList; p != nullptr && fd < 0; p = p->ai_next) {
        fd = ::socket(p->ai_family, p->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, p->ai_protocol);
        if (fd < 0) {
            nError = errno;
            continue;
        }
        // SO_REUSEADDR for restarts; never SO_REUSEPORT, which would let a second service take
        // the same port and split the traffic between two data folders.
        int nYes = 1;
        int nNo = 0;
        ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &nYes, sizeof nYes);
        if (p->ai_family == AF_INET6) {
            ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &nNo, sizeof nNo);
        }
        if (::bind(fd, p->ai_addr, p->ai_addrlen) != 0 || ::listen(fd, SOMAXCONN) != 0) {
            nError = errno;
            ::close(fd);
            fd = -1;
        }
    }
    ::freeaddrinfo(pList);
    if (fd < 0) {
        *pStrError = std::strerror(nError);
        return -1;
    }
    std::string strIgnored;
    int nBound = 0;
    SocketAddress(fd, false, strIgnored, nBound);
    auto pListener = std::make_unique<SListener>();
    pListener->fd = fd;
    pListener->strScheme = pszScheme;
    pListener->pTls = pTls;
    pListener->route = std::move(route);
    pListener->serve = std::move(serve);
    m_vecListeners.push_back(std::move(pListener));
    return nBound;
}

bool CFront::Start(std::string* pStrError) {
    m_nEpoll = ::epoll_create1(EPOLL_CLOEXEC);
    m_nWakeFd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    m_nStopFd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (m_nEpoll < 0 || m_nWakeFd < 0 || m_nStopFd < 0) {
        *pStrError = std::strerror(errno);
        return false;
    }
    auto add = [this](int fd, uint64_t nId) {
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.u64 = nId;
        return ::epoll_ctl(m_nEpoll, EPOLL_CTL_ADD, fd, &event) == 0;
    };
    bool bOk = add(m_nWakeFd, kWakeId) && add(m_nStopFd, kStopId);
    for (size_t i = 0; bOk && i < m_vecListeners.size(); ++i) {
        bOk = add(m_vecListeners[i]->fd, kListenerBase + i);
    }
    if (!bOk) {
        *pStrError = std::strerror(errno);
        return false;
    }
    m_nNextId = kFirstConnId;
    m_loop = std::thread([this] { Loop(); });
    for (SPool* pPool : {&m_general, &m_login}) {
        pPool->nIdle = pPool->limits.nWorkers;  // idle from the start, before their threads run
        for (size_t i = 0; i < pPool->limits.nWorkers; ++i) {
            pPool->threads.emplace_back([this, pPool] { Work(*pPool); });
        }
    }
    return true;
}

void CFront::Stop() {
    if (!m_loop.joinable()) {
        return;
    }
    {
        std::lock_guard lock(m_mutex);
        m_bStopping = true;
    }
    uint64_t nOne = 1;
    if (::write(m_nStopFd, &nOne, sizeof nOne) != sizeof nOne) {
        std::fprintf(stderr, "zav-service: cannot signal the stop: %s\n", std::strerror(errno));
    }
    m_general.cv.notify_all();
    m_login.cv.notify_all();
    m_loop.join();
    for (SPool* pPool : {&m_general, &m_login}) {
        for (auto& worker : pPool->threads) {
            worker.join();
        }
        pPool->threads.clear();
    }
    std::lock_guard lock(m_mutex);
    m_general.queue.clear();
    m_login.queue.clear();
    m_vecReturned.clear();
}

void CFront::Loop() {
    std::vector<epoll_event> vecEvents(256);
    while (!m_bStopping) {
        int n = ::epoll_wait(m_nEpoll, vecEvents.data(), static_cast<int>(vecEvents.size()),
                             NextTimeoutMs());
        if (n < 0 && errno != EINTR) {
            std::fprintf(stderr, "zav-service: epoll_wait: %s\n", std::strerror(errno));
            break;
        }
        for (int i = 0; i < n && !m_bStopping; ++i) {
            const uint64_t nId = vecEvents[static_cast<size_t>(i)].data.u64;
            if (nId == kWakeId) {
                uint64_t nCount = 0;
                while (::read(m_nWakeFd, &nCount, sizeof nCount) > 0) {
                }
                TakeReturned();
            } else if (nId >= kListenerBase && nId < kListenerBase + m_vecListeners.size()) {
                Accept(*m_vecListeners[nId - kListenerBase]);
            } else if (auto it = m_mapConns.find(nId); it != m_mapConns.end()) {
                OnEvent(*it->second);
            }
        }
        ExpireTimers();
        if (m_bAcceptPaused && Clock::now() >= m_acceptPausedUntil) {
            m_bAcceptPaused = false;
            for (size_t i = 0; i < m_vecListeners.size(); ++i) {
                epoll_event event{};
                event.events = EPOLLIN;
                event.data.u64 = kListenerBase + i;
                ::epoll_ctl(m_nEpoll, EPOLL_CTL_MOD, m_vecListeners[i]->fd, &event);
            }
        }
    }
    for (auto& pListener : m_vecListeners) {
        ::close(pListener->fd);
        pListener->fd = -1;
    }
    m_listHeadTimers.clear();
    m_listClosingTimers.clear();
    m_mapConns.clear();
}

void CFront::Work(SPool& pool) {
    while (true) {
        ConnPtr pConn;
        {
            std::unique_lock lock(m_mutex);
            pool.cv.wait(lock, [this, &pool] { return m_bStopping || !pool.queue.empty(); });
            if (m_bStopping) {
                return;
            }
            pConn = std::move(pool.queue.front());
            pool.queue.pop_front();
            --pool.nIdle;
        }
        {
            CConnStream stream(pConn->conn, std::move(pConn->strInput), m_limits.rate, m_bStopping,
                               m_nStopFd);
            if (pConn->bChunked) {
                stream.GuardChunkedBody(pConn->nHeadBytes);
            }
            pConn->pListener->serve(stream);
        }
        if (m_bStopping) {
            return;
        }
        // The worker and the address's place are free before the client sees the end of the
        // answer: a client that sends its next request as soon as the connection ends is not
        // refused for the request that just ended.
        {
            std::lock_guard lock(m_mutex);
            ++pool.nIdle;
            if (!pConn->strBusyKey.empty()) {
                auto it = m_mapBusyByAddress.find(pConn->strBusyKey);
                if (it != m_mapBusyByAddress.end() && --it->second == 0) {
                    m_mapBusyByAddress.erase(it);
                }
                pConn->strBusyKey.clear();
            }
        }
        // The rest of what the client sends is drained by the event thread, so that closing
        // with unread bytes cannot reset the connection before the client read the answer.
        EndSending(pConn->conn);
        std::lock_guard lock(m_mutex);
        m_vecReturned.push_back(std::move(pConn));
        uint64_t nOne = 1;
        if (::write(m_nWakeFd, &nOne, sizeof nOne) != sizeof nOne) {
            m_vecReturned.pop_back();  // the counter is full: close without draining
        }
    }
}

void CFront::Accept(SListener& listener) {
    for (int i = 0; i < kAcceptBatch; ++i) {
        int fd = ::accept4(listener.fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
                // Out of descriptors: stop accepting for a moment instead of spinning.
                std::fprintf(stderr, "zav-service: accept: %s\n", std::strerror(errno));
                m_bAcceptPaused = true;
                m_acceptPausedUntil = Clock::now() + kAcceptPause;
                for (size_t j = 0; j < m_vecListeners.size(); ++j) {
                    epoll_event event{};
                    event.data.u64 = kListenerBase + j;
                    ::epoll_ctl(m_nEpoll, EPOLL_CTL_MOD, m_vecListeners[j]->fd, &event);
                }
            }
            return;
        }
        m_nConnections.fetch_add(1);
        auto pConn = std::make_unique<SConn>(m_nConnections, m_limits.head);
        pConn->conn.fd = fd;
        pConn->pListener = &listener;
        SocketAddress(fd, true, pConn->conn.strPeer, pConn->conn.nPeerPort);
        SocketAddress(fd, false, pConn->conn.strLocal, pConn->conn.nLocalPort);
        pConn->conn.strClient = pConn->conn.strPeer;
        int nYes = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &nYes, sizeof nYes);
        pConn->nId = m_nNextId++;
        SConn& conn = *pConn;
        m_mapConns.emplace(conn.nId, std::move(pConn));
        // The proxy's connections carry every client's requests: only the total limits them.
        bool bOverAddress = false;
        if (conn.conn.strPeer != m_strTrustedProxy) {
            conn.strConnKey = AddressKey(conn.conn.strPeer);
            conn.pAddressCounts = &m_connsByAddress;
            bOverAddress =
                m_connsByAddress.Add(conn.strConnKey) > m_limits.nMaxConnectionsPerAddress;
        }
        if (m_nConnections.load() > m_limits.nMaxConnections || bOverAddress) {
            if (listener.pTls == nullptr) {
                // Refused at once: one attempt to say so, no waiting.
                const std::string strReply = ReplyText(503);
                [[maybe_unused]] ssize_t n =
                    ::send(fd, strReply.data(), strReply.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
                Log(conn, 503);
            }
            Close(conn);
            continue;
        }
        if (listener.pTls != nullptr) {
            conn.conn.ssl.reset(SSL_new(listener.pTls));
            if (!conn.conn.ssl || SSL_set_fd(conn.conn.ssl.get(), fd) != 1) {
                Close(conn);
                continue;
            }
            SSL_set_accept_state(conn.conn.ssl.get());
            conn.eState = EState::Handshake;
        }
        SetTimer(conn, true, Clock::now() + m_limits.headTimeout);
        Watch(conn, EPOLLIN);
    }
}

void CFront::OnEvent(SConn& conn) {
    switch (conn.eState) {
        case EState::Handshake:
            Handshake(conn);
            break;
        case EState::Head:
            ReadHead(conn);
            break;
        case EState::Body:
            ReadBody(conn);
            break;
        case EState::Writing:
            WriteReply(conn);
            break;
        case EState::Draining:
            Drain(conn);
            break;
    }
}

void CFront::Handshake(SConn& conn) {
    ERR_clear_error();
    int r = SSL_do_handshake(conn.conn.ssl.get());
    if (r == 1) {
        conn.eState = EState::Head;
        ReadHead(conn);
        return;
    }
    int nError = SSL_get_error(conn.conn.ssl.get(), r);
    if (nError == SSL_ERROR_WANT_READ || nError == SSL_ERROR_WANT_WRITE) {
        Watch(conn, nError == SSL_ERROR_WANT_READ ? EPOLLIN : EPOLLOUT);
        return;
    }
    Close(conn);  // not TLS, or a protocol version the context refuses
}

ssize_t CFront::ReadFromClient(SConn& conn, char* p, size_t n) {
    bool bOtherWay = false;
    ssize_t r = ReadSome(conn.conn, p, n, &bOtherWay);
    if (r == kWouldBlock) {
        Watch(conn, bOtherWay ? EPOLLOUT : EPOLLIN);
        return -1;
    }
    if (r < 0) {
        Close(conn);
        return -1;
    }
    return r;
}

void CFront::ReadHead(SConn& conn) {
    char ach[kReadChunk];
    while (true) {
        ssize_t n = ReadFromClient(conn, ach, sizeof ach);
        if (n < 0) {
            return;
        }
        if (n == 0) {
            // A client that ended its sending side inside a head may still read the answer;
            // one that sent nothing (a probe) is just closed.
            if (conn.bReceived) {
                Refuse(conn, 400);
            } else {
                Close(conn);
            }
            return;
        }
        conn.bReceived = true;
        switch (conn.parser.Feed(std::string_view(ach, static_cast<size_t>(n)))) {
            case CHeadParser::EState::NeedMore:
                break;
            case CHeadParser::EState::Complete:
                Route(conn);
                return;
            case CHeadParser::EState::Refused:
                Refuse(conn, conn.parser.Status());
                return;
        }
    }
}

void CFront::Route(SConn& conn) {
    const SRequestHead& head = conn.parser.Head();
    if (!m_strTrustedProxy.empty() && conn.conn.strPeer == m_strTrustedProxy) {
        conn.conn.strClient = LastForwardedFor(head);
        if (conn.conn.strClient.empty()) {
            conn.conn.strClient = conn.conn.strPeer;
            Refuse(conn, 400);  // the proxy must say whom it forwards for
            return;
        }
    }
    if (conn.pListener->route) {
        conn.route = conn.pListener->route(head);
    }
    // The head parser lets "chunked" through as the only transfer coding.
    conn.bChunked = !FieldValues(head, "Transfer-Encoding").empty();
    if (conn.route.nFormBody == 0) {
        Dispatch(conn);
        return;
    }
    if (conn.bChunked) {
        Refuse(conn, 411);
        return;
    }
    auto vecLength = FieldValues(head, "Content-Length");  // digits only, at most 18
    const uint64_t nLength =
        vecLength.empty() ? 0 : std::strtoull(std::string(vecLength[0]).c_str(), nullptr, 10);
    if (nLength > conn.route.nFormBody) {
        Dispatch(conn);  // refused by the worker without reading the body
        return;
    }
    conn.bFormBody = true;
    conn.nBodyLength = static_cast<size_t>(nLength);
    conn.strBody.assign(conn.parser.Rest().substr(0, conn.nBodyLength));
    if (conn.strBody.size() == conn.nBodyLength) {
        Dispatch(conn);
        return;
    }
    if (ExpectsContinue(head) && conn.strBody.empty()) {
        // A fresh connection's send buffer takes these few bytes at once.
        bool bOtherWay = false;
        if (WriteSome(conn.conn, kContinue.data(), kContinue.size(), &bOtherWay) !=
            static_cast<ssize_t>(kContinue.size())) {
            Close(conn);
            return;
        }
    }
    conn.eState = EState::Body;
    ReadBody(conn);
}

void CFront::ReadBody(SConn& conn) {
    char ach[kReadChunk];
    while (conn.strBody.size() < conn.nBodyLength) {
        ssize_t n = ReadFromClient(conn, ach, sizeof ach);
        if (n < 0) {
            return;
        }
        if (n == 0) {
            Refuse(conn, 400);  // the body ended before its announced length
            return;
        }
        conn.strBody.append(
            ach, std::min(static_cast<size_t>(n), conn.nBodyLength - conn.strBody.size()));
    }
    Dispatch(conn);
}

void CFront::Dispatch(SConn& conn) {
    conn.strInput = HeadForServer(conn.parser.Head(), conn.bFormBody);
    conn.nHeadBytes = conn.strInput.size();
    conn.strInput.append(conn.bFormBody ? std::string_view(conn.strBody) : conn.parser.Rest());
    conn.strBody.clear();
    SPool& pool = conn.route.bLogin ? m_login : m_general;
    std::unique_lock lock(m_mutex);
    // Idle workers take a request each as soon as they wake: only the rest wait in the queue.
    bool bRefused = pool.queue.size() >= pool.limits.nMaxQueued + pool.nIdle;
    std::string strKey;
    if (!bRefused && pool.limits.nMaxPerAddress > 0) {
        strKey = AddressKey(conn.conn.strClient);
        auto it = m_mapBusyByAddress.find(strKey);
        bRefused = it != m_mapBusyByAddress.end() && it->second >= pool.limits.nMaxPerAddress;
    }
    if (bRefused) {
        lock.unlock();
        Refuse(conn, 503);
        return;
    }
    if (!strKey.empty()) {
        ++m_mapBusyByAddress[strKey];
        conn.strBusyKey = strKey;
    }
    ::epoll_ctl(m_nEpoll, EPOLL_CTL_DEL, conn.conn.fd, nullptr);
    conn.nWatched = 0;
    conn.pTimers->erase(conn.itTimer);
    conn.pTimers = nullptr;
    auto it = m_mapConns.find(conn.nId);
    pool.queue.push_back(std::move(it->second));
    m_mapConns.erase(it);
    lock.unlock();
    pool.cv.notify_one();
}

void CFront::Refuse(SConn& conn, int nStatus) {
    Log(conn, nStatus);
    conn.eState = EState::Writing;
    conn.strReply = ReplyText(nStatus);
    conn.nReplySent = 0;
    SetTimer(conn, false, Clock::now() + m_limits.lingerTimeout);
    WriteReply(conn);
}

void CFront::WriteReply(SConn& conn) {
    while (conn.nReplySent < conn.strReply.size()) {
        bool bOtherWay = false;
        ssize_t n = WriteSome(conn.conn, conn.strReply.data() + conn.nReplySent,
                              conn.strReply.size() - conn.nReplySent, &bOtherWay);
        if (n == kWouldBlock) {
            Watch(conn, bOtherWay ? EPOLLIN : EPOLLOUT);
            return;
        }
        if (n <= 0) {
            Close(conn);
            return;
        }
        conn.nReplySent += static_cast<size_t>(n);
    }
    EndSending(conn.conn);
    StartDrain(conn);
}

void CFront::StartDrain(SConn& conn) {
    conn.eState = EState::Draining;
    Watch(conn, EPOLLIN);
    Drain(conn);
}

void CFront::Drain(SConn& conn) {
    char ach[kReadChunk];
    while (true) {
        ssize_t n = ::recv(conn.conn.fd, ach, sizeof ach, 0);
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            return;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        // Whatever the client still sends is read and dropped until it stops or the linger
        // time is over.
        if (n <= 0) {
            Close(conn);
            return;
        }
    }
}

void CFront::Close(SConn& conn) {
    if (conn.pTimers != nullptr) {
        conn.pTimers->erase(conn.itTimer);
    }
    m_mapConns.erase(conn.nId);  // closes the socket, which leaves the epoll set
}

void CFront::Watch(SConn& conn, uint32_t nEvents) {
    if (conn.nWatched == nEvents) {
        return;
    }
    epoll_event event{};
    event.events = nEvents;
    event.data.u64 = conn.nId;
    ::epoll_ctl(m_nEpoll, conn.nWatched == 0 ? EPOLL_CTL_ADD : EPOLL_CTL_MOD, conn.conn.fd, &event);
    conn.nWatched = nEvents;
}

void CFront::SetTimer(SConn& conn, bool bHead, Clock::time_point deadline) {
    if (conn.pTimers != nullptr) {
        conn.pTimers->erase(conn.itTimer);
    }
    // Each list's deadlines grow with its insertion order: one fixed delay per list.
    conn.pTimers = bHead ? &m_listHeadTimers : &m_listClosingTimers;
    conn.itTimer = conn.pTimers->insert(conn.pTimers->end(), &conn);
    conn.deadline = deadline;
}

void CFront::ExpireTimers() {
    const auto now = Clock::now();
    while (!m_listHeadTimers.empty() && m_listHeadTimers.front()->deadline <= now) {
        SConn& conn = *m_listHeadTimers.front();
        if (conn.eState == EState::Head || conn.eState == EState::Body) {
            Refuse(conn, 408);  // moves it to the closing list
        } else {
            Close(conn);
        }
    }
    while (!m_listClosingTimers.empty() && m_listClosingTimers.front()->deadline <= now) {
        Close(*m_listClosingTimers.front());
    }
}

int CFront::NextTimeoutMs() const {
    Clock::time_point next = Clock::time_point::max();
    for (const auto* pList : {&m_listHeadTimers, &m_listClosingTimers}) {
        if (!pList->empty() && pList->front()->deadline < next) {
            next = pList->front()->deadline;
        }
    }
    if (m_bAcceptPaused && m_acceptPausedUntil < next) {
        next = m_acceptPausedUntil;
    }
    if (next == Clock::time_point::max()) {
        return -1;
    }
    auto nMs = std::chrono::duration_cast<std::chrono::milliseconds>(next - Clock::now()).count();
    return nMs <= 0 ? 0 : static_cast<int>(nMs) + 1;
}

void CFront::TakeReturned() {
    std::vector<ConnPtr> vecReturned;
    {
        std::lock_guard lock(m_mutex);
        vecReturned.swap(m_vecReturned);
    }
    const auto deadline = Clock::now() + m_limits.lingerTimeout;
    for (auto& pConn : vecReturned) {
        SConn& conn = *pConn;
        conn.nId = m_nNextId++;
        m_mapConns.emplace(conn.nId, std::move(pConn));
        SetTimer(conn, false, deadline);
        StartDrain(conn);
    }
}

void CFront::Log(const SConn& conn, int nStatus) const {
    if (m_pLog != nullptr && !m_pLog->Admit()) {
        return;
    }
    const SRequestHead& head = conn.parser.Head();
    std::fprintf(stderr, "%s %s %s %s %d 0\n", conn.pListener->strScheme.c_str(),
                 EscapeForLog(conn.conn.strClient).c_str(),
                 head.strMethod.empty() ? "-" : EscapeForLog(head.strMethod).c_str(),
                 head.strTarget.empty() ? "-" : EscapeForLog(head.strTarget).c_str(), nStatus);
}

}  // namespace zavsvc
