#include "raw_http_listener.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace {

constexpr int kIdlePollMs = 50;
constexpr int kReadTimeoutMs = 10000;

int BindLoopback(int* pPort) {
    int nFd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (nFd < 0)
        return -1;
    int nOne = 1;
    setsockopt(nFd, SOL_SOCKET, SO_REUSEADDR, &nOne, sizeof nOne);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    socklen_t nLen = sizeof addr;
    if (bind(nFd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        getsockname(nFd, reinterpret_cast<sockaddr*>(&addr), &nLen) != 0) {
        close(nFd);
        return -1;
    }
    *pPort = ntohs(addr.sin_port);
    return nFd;
}

// Reads what is there within the time-out; 0 at the end or on a time-out, -1 on an error.
ssize_t ReadSome(int nFd, char* pBuffer, size_t nSize) {
    pollfd pfd{nFd, POLLIN, 0};
    if (poll(&pfd, 1, kReadTimeoutMs) <= 0)
        return 0;
    return recv(nFd, pBuffer, nSize, 0);
}

void SendAll(int nFd, const std::string& strData) {
    size_t nSent = 0;
    while (nSent < strData.size()) {
        ssize_t n = send(nFd, strData.data() + nSent, strData.size() - nSent, MSG_NOSIGNAL);
        if (n <= 0)
            return;
        nSent += static_cast<size_t>(n);
    }
}

size_t ContentLengthOf(const std::string& strHead) {
    // Header names are case-insensitive.
    std::string strLower = strHead;
    for (char& c : strLower)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    size_t nPos = strLower.find("\r\ncontent-length:");
    if (nPos == std::string::npos)
        return 0;
    return std::strtoull(strHead.c_str() + nPos + 17, nullptr, 10);
}

}  // namespace

CRawHttpListener::CRawHttpListener() {
    m_nListenFd = BindLoopback(&m_nPort);
    if (m_nListenFd < 0 || listen(m_nListenFd, 8) != 0)
        throw std::runtime_error("cannot listen on loopback");
    m_thread = std::thread([this] { Serve(); });
}

CRawHttpListener::~CRawHttpListener() {
    m_bStop = true;
    if (m_thread.joinable())
        m_thread.join();
    close(m_nListenFd);
}

std::string CRawHttpListener::Base() const {
    return "http://127.0.0.1:" + std::to_string(m_nPort);
}

void CRawHttpListener::SetAuthReply(std::string strBody) {
    std::lock_guard lock(m_mutex);
    m_strAuthReply = std::move(strBody);
}

std::vector<CRawHttpListener::SRequest> CRawHttpListener::Requests() const {
    std::lock_guard lock(m_mutex);
    return m_vecRequests;
}

std::vector<CRawHttpListener::SRequest> CRawHttpListener::RequestsTo(
    const std::string& strNeedle) const {
    std::vector<SRequest> vec;
    for (SRequest& request : Requests()) {
        if (request.strHead.substr(0, request.strHead.find("\r\n")).find(strNeedle) !=
            std::string::npos)
            vec.push_back(std::move(request));
    }
    return vec;
}

void CRawHttpListener::Serve() {
    while (!m_bStop) {
        pollfd pfd{m_nListenFd, POLLIN, 0};
        if (poll(&pfd, 1, kIdlePollMs) <= 0)
            continue;
        int nFd = accept4(m_nListenFd, nullptr, nullptr, SOCK_CLOEXEC);
        if (nFd < 0)
            continue;
        HandleConnection(nFd);
        close(nFd);
    }
}

void CRawHttpListener::HandleConnection(int nFd) {
    SRequest request;
    std::string strData;
    char buffer[65536];
    size_t nHeadEnd;
    while ((nHeadEnd = strData.find("\r\n\r\n")) == std::string::npos) {
        ssize_t n = ReadSome(nFd, buffer, sizeof buffer);
        if (n <= 0)
            return;
        strData.append(buffer, static_cast<size_t>(n));
    }
    request.strHead = strData.substr(0, nHeadEnd + 2);
    request.strBody = strData.substr(nHeadEnd + 4);
    request.nAnnounced = ContentLengthOf(request.strHead);
    bool bUpload = request.strHead.find("post.php") != std::string::npos;
    size_t nCut = bUpload ? m_nCutAfter.load() : static_cast<size_t>(-1);

    while (request.strBody.size() < request.nAnnounced && request.strBody.size() < nCut) {
        size_t nWant =
            std::min(sizeof buffer, std::min(request.nAnnounced, nCut) - request.strBody.size());
        ssize_t n = ReadSome(nFd, buffer, nWant);
        if (n <= 0)
            break;
        request.strBody.append(buffer, static_cast<size_t>(n));
    }
    if (request.strBody.size() >= nCut && nCut < request.nAnnounced) {
        request.bCutOff = true;
        {
            std::lock_guard lock(m_mutex);
            m_vecRequests.push_back(std::move(request));
        }
        if (m_bReplyBeforeCut) {
            SendAll(nFd, "HTTP/1.1 " + std::to_string(m_nUploadStatus.load()) +
                             " Status\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
        }
        return;  // closed with unread bytes pending
    }

    std::string strReplyBody;
    int nStatus = 200;
    if (bUpload) {
        nStatus = m_nUploadStatus;
        strReplyBody = "done";
    } else {
        std::lock_guard lock(m_mutex);
        strReplyBody = m_strAuthReply;
    }
    {
        std::lock_guard lock(m_mutex);
        m_vecRequests.push_back(std::move(request));
    }
    SendAll(nFd, "HTTP/1.1 " + std::to_string(nStatus) +
                     " Status\r\nContent-Length: " + std::to_string(strReplyBody.size()) +
                     "\r\nConnection: close\r\n\r\n" + strReplyBody);
}

CScopedServiceUrl::CScopedServiceUrl(const std::string& strUrl) {
    if (const char* szOld = std::getenv("ZAV_SERVICE_URL")) {
        m_bWasSet = true;
        m_strOld = szOld;
    }
    setenv("ZAV_SERVICE_URL", strUrl.c_str(), 1);
}

CScopedServiceUrl::~CScopedServiceUrl() {
    if (m_bWasSet)
        setenv("ZAV_SERVICE_URL", m_strOld.c_str(), 1);
    else
        unsetenv("ZAV_SERVICE_URL");
}

int ClosedLoopbackPort() {
    int nPort = 0;
    int nFd = BindLoopback(&nPort);
    if (nFd >= 0)
        close(nFd);  // bound but never listening: connections are refused
    return nPort;
}
