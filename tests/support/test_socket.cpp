#include "support/test_socket.h"

namespace test_socket {

#ifdef _WIN32

bool Ready() {
    static const bool bReady = [] {
        WSADATA data{};
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    return bReady;
}

void Close(Socket nSocket) {
    if (nSocket != kNone)
        closesocket(nSocket);
}

bool WaitReadable(Socket nSocket, int nTimeoutMs) {
    WSAPOLLFD pfd{nSocket, POLLRDNORM, 0};
    return WSAPoll(&pfd, 1, nTimeoutMs) > 0;
}

long Receive(Socket nSocket, char* pBuffer, size_t nBytes) {
    return recv(nSocket, pBuffer, static_cast<int>(nBytes), 0);
}

long Send(Socket nSocket, const char* pData, size_t nBytes) {
    return send(nSocket, pData, static_cast<int>(nBytes), 0);
}

void ShutdownWrite(Socket nSocket) {
    shutdown(nSocket, SD_SEND);
}

void ShutdownBoth(Socket nSocket) {
    shutdown(nSocket, SD_BOTH);
}

#else

bool Ready() {
    return true;
}

void Close(Socket nSocket) {
    if (nSocket != kNone)
        close(nSocket);
}

bool WaitReadable(Socket nSocket, int nTimeoutMs) {
    pollfd pfd{nSocket, POLLIN, 0};
    return poll(&pfd, 1, nTimeoutMs) > 0;
}

long Receive(Socket nSocket, char* pBuffer, size_t nBytes) {
    return recv(nSocket, pBuffer, nBytes, 0);
}

long Send(Socket nSocket, const char* pData, size_t nBytes) {
    return send(nSocket, pData, nBytes, MSG_NOSIGNAL);
}

void ShutdownWrite(Socket nSocket) {
    shutdown(nSocket, SHUT_WR);
}

void ShutdownBoth(Socket nSocket) {
    shutdown(nSocket, SHUT_RDWR);
}

#endif

namespace {

// Sockets are never inherited by the programs a test starts.
#ifdef _WIN32
constexpr int kCloexec = 0;
#else
constexpr int kCloexec = SOCK_CLOEXEC;
#endif

sockaddr_in Loopback(int nPort) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<unsigned short>(nPort));
    return addr;
}

}  // namespace

Socket Listen(int& nPort, int nBacklog) {
    if (!Ready())
        return kNone;
    Socket nSocket = socket(AF_INET, SOCK_STREAM | kCloexec, 0);
    if (nSocket == kNone)
        return kNone;
    sockaddr_in addr = Loopback(0);
    socklen_t nLen = sizeof(addr);
    if (bind(nSocket, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 ||
        listen(nSocket, nBacklog) != 0 ||
        getsockname(nSocket, reinterpret_cast<sockaddr*>(&addr), &nLen) != 0) {
        Close(nSocket);
        return kNone;
    }
    nPort = ntohs(addr.sin_port);
    return nSocket;
}

Socket Connect(int nPort) {
    if (!Ready())
        return kNone;
    Socket nSocket = socket(AF_INET, SOCK_STREAM | kCloexec, 0);
    if (nSocket == kNone)
        return kNone;
    sockaddr_in addr = Loopback(nPort);
    if (connect(nSocket, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
        Close(nSocket);
        return kNone;
    }
    return nSocket;
}

Socket Accept(Socket nListener) {
#ifdef _WIN32
    return accept(nListener, nullptr, nullptr);
#else
    return accept4(nListener, nullptr, nullptr, SOCK_CLOEXEC);
#endif
}

bool SendAll(Socket nSocket, const std::string& strData) {
    size_t nSent = 0;
    while (nSent < strData.size()) {
        long n = Send(nSocket, strData.data() + nSent, strData.size() - nSent);
        if (n <= 0)
            return false;
        nSent += static_cast<size_t>(n);
    }
    return true;
}

}  // namespace test_socket
