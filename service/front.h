#pragma once
// The service's network front. One event-driven thread owns the listening sockets, accepts,
// runs TLS handshakes and reads every request head, and the whole body of a small form, within
// a deadline and its size limits, so that idle, slow or flooding clients cost a socket and a
// small buffer, never a worker. A complete request goes to a bounded pool of workers (logins
// to a small pool of their own), which serve it through a CConnStream; what does not fit (too
// many connections in all or from one address, a full queue, too many requests of one address)
// is refused at once. Refused and finished connections are drained briefly before they close,
// so that the client reads the answer.

#include <openssl/ssl.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "service/conn_stream.h"
#include "service/http_head.h"

namespace zavsvc {

// One pool of workers: how many, how many complete requests may wait for one, and how many
// of its places (serving or waiting) one client address may take (0: no limit).
struct SPoolLimits {
    size_t nWorkers = 32;
    size_t nMaxQueued = 64;
    size_t nMaxPerAddress = 8;
};

struct SFrontLimits {
    SHeadLimits head;
    // From accept to the end of the request head (and of a form body read with it), the TLS
    // handshake included.
    std::chrono::milliseconds headTimeout{10000};
    SRateLimit rate;  // body and reply
    // Writing a refusal and draining what the client still sends, before closing.
    std::chrono::milliseconds lingerTimeout{2000};
    SPoolLimits general;
    // Logins check a slow password hash: a few workers of their own, so that a flood of them
    // neither takes the others' workers nor more than its share of the processor.
    SPoolLimits login{2, 2, 0};
    size_t nMaxConnections = 1000;          // open connections of every listener together
    size_t nMaxConnectionsPerAddress = 64;  // of one client address (AddressKey); not the proxy's
};

// How the front treats a request, decided from its head before any of its body is read.
struct SRoute {
    bool bLogin = false;  // served by the login pool
    // Above 0: the body is a small form, read whole by the event thread (within the head's
    // deadline) before a worker takes the request. A chunked one is refused (411); a longer
    // announced one goes to the worker at once, which refuses it without reading it.
    size_t nFormBody = 0;
};
using RouteFn = std::function<SRoute(const SRequestHead&)>;

// Serves the request of one connection; the stream reports the client's address.
using ServeFn = std::function<void(httplib::Stream&)>;

class CLogLimiter;

class CFront {
public:
    // strTrustedProxy: a proxy's address whose X-Forwarded-For names the client; may be empty.
    // pLog (not owned, may be null) limits the log lines of the front's refusals.
    CFront(SFrontLimits limits, std::string strTrustedProxy, CLogLimiter* pLog);
    ~CFront();
    CFront(const CFront&) = delete;
    CFront& operator=(const CFront&) = delete;

    // Binds HOST:PORT (port 0: any free port) and listens. Returns the port, or -1 with the
    // reason. pTls (not owned; nullptr for plain HTTP) must outlive the front. pszScheme
    // prefixes the log lines of the front's own refusals.
    int Listen(const std::string& strHost, int nPort, const char* pszScheme, SSL_CTX* pTls,
               RouteFn route, ServeFn serve, std::string* pStrError);
    // Starts the event thread and the workers.
    bool Start(std::string* pStrError);
    // Closes the listeners and every connection; a request in a worker sees its reads and
    // writes fail at once. Returns when every thread has ended.
    void Stop();

private:
    struct SListener {
        int fd = -1;
        std::string strScheme;
        SSL_CTX* pTls = nullptr;
        RouteFn route;
        ServeFn serve;
    };
    enum class EState { Handshake, Head, Body, Writing, Draining };
    struct SConn;
    using ConnPtr = std::unique_ptr<SConn>;
    struct SPool {
        SPoolLimits limits;
        std::condition_variable cv;
        std::deque<ConnPtr> queue;  // guarded by m_mutex
        size_t nIdle = 0;           // guarded by m_mutex: workers not serving a request
        std::vector<std::thread> threads;
    };
    // Open connections per client address (AddressKey); a connection may end on any thread.
    class CAddressCounts {
    public:
        size_t Add(const std::string& strKey);
        void Remove(const std::string& strKey);

    private:
        std::mutex m_mutex;
        std::unordered_map<std::string, size_t> m_map;
    };

    void Loop();
    void Work(SPool& pool);
    void Accept(SListener& listener);
    void OnEvent(SConn& conn);
    void Handshake(SConn& conn);
    // Reads what the client sent: the bytes read, 0 when it ended its sending side, or -1 when
    // that is handled already (the socket is watched for more, or the connection closed).
    ssize_t ReadFromClient(SConn& conn, char* p, size_t n);
    void ReadHead(SConn& conn);
    void Route(SConn& conn);
    void ReadBody(SConn& conn);
    void Dispatch(SConn& conn);
    void Refuse(SConn& conn, int nStatus);
    void WriteReply(SConn& conn);
    void StartDrain(SConn& conn);
    void Drain(SConn& conn);
    void Close(SConn& conn);
    void Watch(SConn& conn, uint32_t nEvents);
    void SetTimer(SConn& conn, bool bHead, std::chrono::steady_clock::time_point deadline);
    void ExpireTimers();
    int NextTimeoutMs() const;
    void TakeReturned();
    void Log(const SConn& conn, int nStatus) const;

    SFrontLimits m_limits;
    std::string m_strTrustedProxy;
    std::vector<std::unique_ptr<SListener>> m_vecListeners;
    int m_nEpoll = -1;
    int m_nWakeFd = -1;  // connections handed back by the workers
    int m_nStopFd = -1;  // readable once the service stops
    std::atomic<bool> m_bStopping{false};
    std::atomic<size_t> m_nConnections{0};
    CAddressCounts m_connsByAddress;
    CLogLimiter* m_pLog;
    std::thread m_loop;

    // Owned by the event thread.
    uint64_t m_nNextId = 0;
    std::unordered_map<uint64_t, ConnPtr> m_mapConns;
    std::list<SConn*> m_listHeadTimers;     // by deadline: accept time + headTimeout
    std::list<SConn*> m_listClosingTimers;  // by deadline: refusal time + lingerTimeout
    std::chrono::steady_clock::time_point m_acceptPausedUntil;
    bool m_bAcceptPaused = false;

    std::mutex m_mutex;
    SPool m_general;
    SPool m_login;
    // Requests of each client address (AddressKey) in a pool with a per-address limit, serving
    // or waiting; guarded by m_mutex.
    std::unordered_map<std::string, size_t> m_mapBusyByAddress;
    std::vector<ConnPtr> m_vecReturned;  // guarded by m_mutex
};

}  // namespace zavsvc
