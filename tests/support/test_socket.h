// The few socket calls the test helpers use, the same on POSIX and Windows (Winsock).
#pragma once

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#include <cstddef>
#include <cstdint>
#include <string>

namespace test_socket {

#ifdef _WIN32
using Socket = SOCKET;
inline const Socket kNone = INVALID_SOCKET;
inline constexpr int kCloexec = 0;  // handles are not inherited unless asked for
#else
using Socket = int;
inline constexpr Socket kNone = -1;
inline constexpr int kCloexec = SOCK_CLOEXEC;  // never inherited by programs a test starts
#endif

// Sockets kept in headers that must not include the system's socket headers.
inline std::uintptr_t Store(Socket nSocket) {
    return static_cast<std::uintptr_t>(nSocket);
}
inline Socket Load(std::uintptr_t nStored) {
    return static_cast<Socket>(nStored);
}
inline const std::uintptr_t kNoneStored = Store(kNone);

// Starts the socket layer once per process (Winsock); false when it cannot.
bool Ready();
void Close(Socket nSocket);
// The address 127.0.0.1:nPort.
sockaddr_in Loopback(int nPort);
// A connected TCP socket to 127.0.0.1:nPort, or kNone.
Socket Connect(int nPort);
Socket Accept(Socket nListener);
// Waits until one of the two sockets has bytes (or an end) to read, at most nTimeoutMs (-1:
// for ever). 0 or 1: the first readable one; -1 on a time-out or an error. nSecond may be
// kNone.
int WaitReadable(Socket nFirst, Socket nSecond, int nTimeoutMs);
// recv / send of at most nBytes; the count, 0 at the end, negative on an error.
long Receive(Socket nSocket, char* pBuffer, size_t nBytes);
long Send(Socket nSocket, const char* pData, size_t nBytes);
// Sends all of strData; false on an error.
bool SendAll(Socket nSocket, const std::string& strData);
void ShutdownWrite(Socket nSocket);

}  // namespace test_socket
