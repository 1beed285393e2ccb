#include "raw_listener.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>

#include "support/test_socket.h"

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

}  // namespace

CRawListener::CRawListener(std::vector<SStep> reply) : m_vecReply(std::move(reply)) {
    m_nListenFd = test_socket::Listen(m_nPort);
    if (m_nListenFd == test_socket::kNone)
        return;
    m_thread = std::thread([this] { Serve(); });
}

CRawListener::~CRawListener() {
    if (m_thread.joinable()) {
        // A connection of its own wakes the accepting thread, which then sees the flag.
        m_bStopping = true;
        test_socket::Close(test_socket::Connect(m_nPort));
        m_thread.join();
    }
    test_socket::Close(m_nListenFd);
}

void CRawListener::Serve() {
    while (true) {
        test_socket::Socket nFd = test_socket::Accept(m_nListenFd);
        if (m_bStopping) {
            test_socket::Close(nFd);
            return;
        }
        if (nFd == test_socket::kNone)
            continue;
        Answer(nFd);
        test_socket::Close(nFd);
    }
}

void CRawListener::Answer(test_socket::Socket nFd) {
    std::string strRequest;
    size_t nHeadEnd = std::string::npos;
    char buffer[65536];
    // Reads the head, then as many body bytes as it declares.
    while (true) {
        if (nHeadEnd != std::string::npos &&
            strRequest.size() >= nHeadEnd + 4 + ContentLength(strRequest.substr(0, nHeadEnd)))
            break;
        if (!test_socket::WaitReadable(nFd, 10000))
            break;
        long n = test_socket::Receive(nFd, buffer, sizeof(buffer));
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
        if (!test_socket::SendAll(nFd, step.strData))
            return;
    }
    test_socket::ShutdownWrite(nFd);
    // Let the client read everything before the socket goes away.
    while (test_socket::WaitReadable(nFd, 2000) &&
           test_socket::Receive(nFd, buffer, sizeof(buffer)) > 0) {
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
    test_socket::Close(test_socket::Listen(nPort));
    return nPort;
}
