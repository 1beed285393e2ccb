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

// The canonical text of a socket's peer or local address; empty for another family.
std::string AddressText(const sockaddr_storage& addr);

}  // namespace zavsvc
