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
#include <string>

namespace test_socket {

#ifdef _WIN32
using Socket = SOCKET;
inline const Socket kNone = INVALID_SOCKET;
#else
using Socket = int;
inline constexpr Socket kNone = -1;
#endif

// Starts the socket layer once per process (Winsock); false when it cannot.
bool Ready();
void Close(Socket nSocket);
// A listening TCP socket on 127.0.0.1 at an ephemeral port (nPort set), or kNone.
Socket Listen(int& nPort, int nBacklog = 8);
// A connected TCP socket to 127.0.0.1:nPort, or kNone.
Socket Connect(int nPort);
Socket Accept(Socket nListener);
// True when nSocket has bytes (or an end) to read within nTimeoutMs (-1 waits for ever).
bool WaitReadable(Socket nSocket, int nTimeoutMs);
// recv / send of at most nBytes; the count, 0 at the end, negative on an error.
long Receive(Socket nSocket, char* pBuffer, size_t nBytes);
long Send(Socket nSocket, const char* pData, size_t nBytes);
// Sends all of strData; false on an error.
bool SendAll(Socket nSocket, const std::string& strData);
void ShutdownWrite(Socket nSocket);
void ShutdownBoth(Socket nSocket);

}  // namespace test_socket
