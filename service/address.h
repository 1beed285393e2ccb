#pragma once
// Client addresses as the service compares and stores them: the canonical text of an IPv4 or
// IPv6 address, with an IPv4-mapped IPv6 address written in its IPv4 form, so that one host is
// one text whichever listener it reached.

#include <sys/socket.h>

#include <string>
#include <string_view>

namespace zavsvc {

// The canonical text of an address literal ("127.0.0.1", "::ffff:127.0.0.1", "[::1]",
// "0:0::1"); empty when the text is not an address.
std::string NormalizeAddress(std::string_view text);

// The canonical text of a socket address; empty for another family.
std::string AddressText(const sockaddr_storage& addr);

// The peer's (bPeer) or the local address of a connected socket, and its port; both left as
// they are when the socket has none.
void SocketAddress(int fd, bool bPeer, std::string& rText, int& rPort);

}  // namespace zavsvc
