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

int WaitReadable(Socket nFirst, Socket nSecond, int nTimeoutMs) {
    WSAPOLLFD pfds[2] = {{nFirst, POLLRDNORM, 0}, {nSecond, POLLRDNORM, 0}};
    if (WSAPoll(pfds, nSecond == kNone ? 1 : 2, nTimeoutMs) <= 0)
        return -1;
    return pfds[0].revents != 0 ? 0 : 1;
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

Socket Accept(Socket nListener) {
    return accept(nListener, nullptr, nullptr);
}

#else

bool Ready() {
    return true;
}

void Close(Socket nSocket) {
    if (nSocket != kNone)
        close(nSocket);
}

int WaitReadable(Socket nFirst, Socket nSecond, int nTimeoutMs) {
    pollfd pfds[2] = {{nFirst, POLLIN, 0}, {nSecond, POLLIN, 0}};
    if (poll(pfds, nSecond == kNone ? 1 : 2, nTimeoutMs) <= 0)
        return -1;
    return pfds[0].revents != 0 ? 0 : 1;
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

Socket Accept(Socket nListener) {
    return accept4(nListener, nullptr, nullptr, SOCK_CLOEXEC);
}

#endif

sockaddr_in Loopback(int nPort) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<unsigned short>(nPort));
    return addr;
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
