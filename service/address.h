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

// The key under which the service counts a client's connections, workers and failed logins:
// an IPv4 address as it is, an IPv6 address by its /64 ("2001:db8:1:2::/64"), since one
// subscriber usually holds a whole /64. strAddr is canonical text (NormalizeAddress); anything
// else is returned unchanged.
std::string AddressKey(const std::string& strAddr);

// The canonical text of a socket address; empty for another family.
std::string AddressText(const sockaddr_storage& addr);

// The peer's (bPeer) or the local address of a connected socket, and its port; both left as
// they are when the socket has none.
void SocketAddress(int fd, bool bPeer, std::string& rText, int& rPort);

}  // namespace zavsvc
