#include "raw_listener.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>

namespace {

bool StartsWithNoCase(const std::string& strText, const std::string& strPrefix) {
    if (strText.size() < strPrefix.size())
        return false;
    for (size_t i = 0; i < strPrefix.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(strText[i])) !=
            std::tolower(static_cast<unsigned char>(strPrefix[i])))
            return false;
    }
    return true;
}

// The declared body length of a request head, 0 when none.
size_t ContentLength(const std::string& strHead) {
    for (const std::string& strLine : HeadLines(strHead)) {
        if (StartsWithNoCase(strLine, "content-length:")) {
            return static_cast<size_t>(std::strtoull(strLine.c_str() + 15, nullptr, 10));
        }
    }
    return 0;
}

bool WaitReadable(int nFd, int nTimeoutMs) {
    pollfd pfd{nFd, POLLIN, 0};
    return poll(&pfd, 1, nTimeoutMs) > 0;
}

int OpenListener(int& nPort) {
    int nFd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (nFd < 0)
        return -1;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    socklen_t nLen = sizeof(addr);
    if (bind(nFd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 || listen(nFd, 8) != 0 ||
        getsockname(nFd, reinterpret_cast<sockaddr*>(&addr), &nLen) != 0) {
        close(nFd);
        return -1;
    }
    nPort = ntohs(addr.sin_port);
    return nFd;
}

}  // namespace

CRawListener::CRawListener(std::vector<SStep> reply) : m_vecReply(std::move(reply)) {
    m_nListenFd = OpenListener(m_nPort);
    if (m_nListenFd < 0 || pipe(m_nWakeFd) != 0)
        return;
    m_thread = std::thread([this] { Serve(); });
}

CRawListener::~CRawListener() {
    if (m_nWakeFd[1] >= 0) {
        char c = 'x';
        [[maybe_unused]] ssize_t n = write(m_nWakeFd[1], &c, 1);
    }
    if (m_thread.joinable())
        m_thread.join();
    for (int nFd : {m_nListenFd, m_nWakeFd[0], m_nWakeFd[1]}) {
        if (nFd >= 0)
            close(nFd);
    }
}

void CRawListener::Serve() {
    while (true) {
        pollfd pfds[2] = {{m_nListenFd, POLLIN, 0}, {m_nWakeFd[0], POLLIN, 0}};
        if (poll(pfds, 2, -1) < 0)
            continue;
        if (pfds[1].revents != 0)
            return;
        int nFd = accept4(m_nListenFd, nullptr, nullptr, SOCK_CLOEXEC);
        if (nFd < 0)
            continue;
        Answer(nFd);
        close(nFd);
    }
}

void CRawListener::Answer(int nFd) {
    std::string strRequest;
    size_t nHeadEnd = std::string::npos;
    char buffer[65536];
    // Reads the head, then as many body bytes as it declares.
    while (true) {
        if (nHeadEnd != std::string::npos &&
            strRequest.size() >= nHeadEnd + 4 + ContentLength(strRequest.substr(0, nHeadEnd)))
            break;
        if (!WaitReadable(nFd, 10000))
            break;
        ssize_t n = recv(nFd, buffer, sizeof(buffer), 0);
        if (n <= 0)
            break;
        strRequest.append(buffer, static_cast<size_t>(n));
        if (nHeadEnd == std::string::npos)
            nHeadEnd = strRequest.find("\r\n\r\n");
    }
    {
        std::lock_guard lock(m_mutex);
        m_vecRequests.push_back(strRequest);
    }
    m_cv.notify_all();
    for (const SStep& step : m_vecReply) {
        if (step.nPauseMs > 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(step.nPauseMs));
        size_t nSent = 0;
        while (nSent < step.strData.size()) {
            ssize_t n =
                send(nFd, step.strData.data() + nSent, step.strData.size() - nSent, MSG_NOSIGNAL);
            if (n <= 0)
                return;
            nSent += static_cast<size_t>(n);
        }
    }
    shutdown(nFd, SHUT_WR);
    // Let the client read everything before the socket goes away.
    while (WaitReadable(nFd, 2000) && recv(nFd, buffer, sizeof(buffer), 0) > 0) {
    }
}

std::vector<std::string> CRawListener::Requests(size_t n) const {
    std::unique_lock lock(m_mutex);
    m_cv.wait_for(lock, std::chrono::seconds(10), [&] { return m_vecRequests.size() >= n; });
    return m_vecRequests;
}

std::string CRawListener::Request() const {
    std::vector<std::string> requests = Requests(1);
    return requests.empty() ? std::string() : requests.front();
}

std::string CRawListener::Reply(int nStatus, const std::string& strBody,
                                const std::string& strExtraHeaders) {
    return "HTTP/1.1 " + std::to_string(nStatus) +
           " X\r\nContent-Length: " + std::to_string(strBody.size()) + "\r\nConnection: close\r\n" +
           strExtraHeaders + "\r\n" + strBody;
}

std::vector<std::string> HeadLines(const std::string& strRequest) {
    std::vector<std::string> lines;
    size_t nEnd = strRequest.find("\r\n\r\n");
    std::string strHead = strRequest.substr(0, nEnd);
    size_t nPos = 0;
    while (nPos <= strHead.size()) {
        size_t nNext = strHead.find("\r\n", nPos);
        if (nNext == std::string::npos)
            nNext = strHead.size();
        lines.push_back(strHead.substr(nPos, nNext - nPos));
        nPos = nNext + 2;
    }
    return lines;
}

std::string BodyOf(const std::string& strRequest) {
    size_t nEnd = strRequest.find("\r\n\r\n");
    return nEnd == std::string::npos ? std::string() : strRequest.substr(nEnd + 4);
}

int CountHeader(const std::string& strRequest, const std::string& strName) {
    std::vector<std::string> lines = HeadLines(strRequest);
    return static_cast<int>(
        std::count_if(lines.begin() + 1, lines.end(),
                      [&](const std::string& s) { return StartsWithNoCase(s, strName + ":"); }));
}

int UnusedPort() {
    int nPort = 0;
    int nFd = OpenListener(nPort);
    if (nFd >= 0)
        close(nFd);
    return nPort;
}
