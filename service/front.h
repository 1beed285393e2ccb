#pragma once
// The service's network front. One event-driven thread owns the listening sockets, accepts,
// runs TLS handshakes and reads every request head within a deadline and its size limits, so
// that idle, slow or flooding clients cost a socket and a small buffer, never a worker. A
// complete head goes to a bounded pool of workers, which serve it through a CConnStream; what
// does not fit (too many connections, a full queue) is refused at once. Refused and finished
// connections are drained briefly before they close, so that the client reads the answer.

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

struct SFrontLimits {
    SHeadLimits head;
    // From accept to the end of the request head, the TLS handshake included.
    std::chrono::milliseconds headTimeout{10000};
    SRateLimit rate;  // body and reply
    // Writing a refusal and draining what the client still sends, before closing.
    std::chrono::milliseconds lingerTimeout{2000};
    size_t nWorkers = 32;
    size_t nMaxQueued = 64;         // complete heads waiting for a worker
    size_t nMaxConnections = 1000;  // open connections of every listener together
};

// Serves the request of one connection; the stream reports the client's address.
using ServeFn = std::function<void(httplib::Stream&)>;

class CFront {
public:
    // strTrustedProxy: a proxy's address whose X-Forwarded-For names the client; may be empty.
    CFront(SFrontLimits limits, std::string strTrustedProxy);
    ~CFront();
    CFront(const CFront&) = delete;
    CFront& operator=(const CFront&) = delete;

    // Binds HOST:PORT (port 0: any free port) and listens. Returns the port, or -1 with the
    // reason. pTls (not owned; nullptr for plain HTTP) must outlive the front. pszScheme
    // prefixes the log lines of the front's own refusals.
    int Listen(const std::string& strHost, int nPort, const char* pszScheme, SSL_CTX* pTls,
               ServeFn serve, std::string* pStrError);
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
        ServeFn serve;
    };
    enum class EState { Handshake, Head, Writing, Draining };
    struct SConn;
    using ConnPtr = std::unique_ptr<SConn>;

    void Loop();
    void Work();
    void Accept(SListener& listener);
    void OnEvent(SConn& conn);
    void Handshake(SConn& conn);
    void ReadHead(SConn& conn);
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
    std::thread m_loop;
    std::vector<std::thread> m_vecWorkers;

    // Owned by the event thread.
    uint64_t m_nNextId = 0;
    std::unordered_map<uint64_t, ConnPtr> m_mapConns;
    std::list<SConn*> m_listHeadTimers;     // by deadline: accept time + headTimeout
    std::list<SConn*> m_listClosingTimers;  // by deadline: refusal time + lingerTimeout
    std::chrono::steady_clock::time_point m_acceptPausedUntil;
    bool m_bAcceptPaused = false;

    std::mutex m_mutex;
    std::condition_variable m_cv;
    std::deque<ConnPtr> m_queue;         // guarded by m_mutex
    size_t m_nIdleWorkers = 0;           // guarded by m_mutex: workers not serving a request
    std::vector<ConnPtr> m_vecReturned;  // guarded by m_mutex
};

}  // namespace zavsvc
