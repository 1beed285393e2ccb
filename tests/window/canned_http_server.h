// A loopback HTTP server that answers every request with one canned body and records what it
// was asked: for replies the real service never sends (short, malformed, odd items).
#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class CCannedHttpServer {
public:
    struct SRequest {
        std::string strMethod;
        std::string strPath;
        std::string strBody;
    };

    CCannedHttpServer();  // listens on 127.0.0.1, an ephemeral port
    ~CCannedHttpServer();
    CCannedHttpServer(const CCannedHttpServer&) = delete;
    CCannedHttpServer& operator=(const CCannedHttpServer&) = delete;

    std::string Base() const;  // "http://127.0.0.1:PORT"
    void SetReply(std::string strBody);
    std::vector<SRequest> Requests() const;

private:
    void Serve();
    void Answer(int nFd);

    int m_nListenFd = -1;
    int m_nPort = 0;
    std::atomic<bool> m_bStop{false};
    mutable std::mutex m_mutex;
    std::string m_strReply;
    std::vector<SRequest> m_vecRequests;
    std::thread m_thread;
};
