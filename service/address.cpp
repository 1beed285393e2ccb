#include "service/address.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstring>

namespace zavsvc {
namespace {

std::string Ipv4Text(const in_addr& addr) {
    char sz[INET_ADDRSTRLEN] = {};
    return ::inet_ntop(AF_INET, &addr, sz, sizeof sz) ? std::string(sz) : std::string();
}

std::string Ipv6Text(const in6_addr& addr) {
    if (IN6_IS_ADDR_V4MAPPED(&addr)) {
        in_addr v4{};
        std::memcpy(&v4, addr.s6_addr + 12, sizeof v4);
        return Ipv4Text(v4);
    }
    char sz[INET6_ADDRSTRLEN] = {};
    return ::inet_ntop(AF_INET6, &addr, sz, sizeof sz) ? std::string(sz) : std::string();
}

}  // namespace

std::string NormalizeAddress(std::string_view text) {
    if (text.size() >= 2 && text.front() == '[' && text.back() == ']') {
        text = text.substr(1, text.size() - 2);
    }
    if (text.empty() || text.size() >= INET6_ADDRSTRLEN) {
        return {};
    }
    const std::string strText(text);
    in_addr v4{};
    if (::inet_pton(AF_INET, strText.c_str(), &v4) == 1) {
        return Ipv4Text(v4);
    }
    in6_addr v6{};
    if (::inet_pton(AF_INET6, strText.c_str(), &v6) == 1) {
        return Ipv6Text(v6);
    }
    return {};
}

std::string AddressKey(const std::string& strAddr) {
    in6_addr v6{};
    if (strAddr.find(':') == std::string::npos ||
        ::inet_pton(AF_INET6, strAddr.c_str(), &v6) != 1) {
        return strAddr;
    }
    std::memset(v6.s6_addr + 8, 0, 8);
    return Ipv6Text(v6) + "/64";
}

std::string AddressText(const sockaddr_storage& addr) {
    if (addr.ss_family == AF_INET) {
        return Ipv4Text(reinterpret_cast<const sockaddr_in*>(&addr)->sin_addr);
    }
    if (addr.ss_family == AF_INET6) {
        return Ipv6Text(reinterpret_cast<const sockaddr_in6*>(&addr)->sin6_addr);
    }
    return {};
}

void SocketAddress(int fd, bool bPeer, std::string& rText, int& rPort) {
    sockaddr_storage addr{};
    socklen_t nLen = sizeof addr;
    auto* pAddr = reinterpret_cast<sockaddr*>(&addr);
    if ((bPeer ? ::getpeername(fd, pAddr, &nLen) : ::getsockname(fd, pAddr, &nLen)) != 0) {
        return;
    }
    rText = AddressText(addr);
    rPort = addr.ss_family == AF_INET6
                ? ntohs(reinterpret_cast<const sockaddr_in6*>(&addr)->sin6_port)
                : ntohs(reinterpret_cast<const sockaddr_in*>(&addr)->sin_port);
}

}  // namespace zavsvc
