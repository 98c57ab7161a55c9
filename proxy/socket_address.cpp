#include "socket_address.h"

#include <cstdint>
#include <cstring>

namespace address {

bool ParseNumeric(const std::string& strHost, sockaddr_storage& address) {
    std::memset(&address, 0, sizeof address);
    auto* p4 = reinterpret_cast<sockaddr_in*>(&address);
    if (inet_pton(AF_INET, strHost.c_str(), &p4->sin_addr) == 1) {
        p4->sin_family = AF_INET;
        return true;
    }
    auto* p6 = reinterpret_cast<sockaddr_in6*>(&address);
    if (inet_pton(AF_INET6, strHost.c_str(), &p6->sin6_addr) == 1) {
        p6->sin6_family = AF_INET6;
        return true;
    }
    return false;
}

sockaddr_storage MapToIPv6(const sockaddr_storage& address4) {
    sockaddr_storage result{};
    auto* p6 = reinterpret_cast<sockaddr_in6*>(&result);
    p6->sin6_family = AF_INET6;
    p6->sin6_addr.s6_addr[10] = 0xff;
    p6->sin6_addr.s6_addr[11] = 0xff;
    std::memcpy(&p6->sin6_addr.s6_addr[12],
                &reinterpret_cast<const sockaddr_in*>(&address4)->sin_addr, 4);
    return result;
}

socklen_t SetPort(sockaddr_storage& address, int nPort) {
    if (address.ss_family == AF_INET6) {
        reinterpret_cast<sockaddr_in6*>(&address)->sin6_port = htons(std::uint16_t(nPort));
        return sizeof(sockaddr_in6);
    }
    reinterpret_cast<sockaddr_in*>(&address)->sin_port = htons(std::uint16_t(nPort));
    return sizeof(sockaddr_in);
}

bool Bind(SOCKET h, sockaddr_storage& local, unsigned nPort, bool bEveryInterface) {
    socklen_t nLength = SetPort(local, int(nPort));
    if (bEveryInterface && local.ss_family == AF_INET6)
        sys::SetOption(h, IPPROTO_IPV6, IPV6_V6ONLY, 0);
    return bind(h, reinterpret_cast<sockaddr*>(&local), nLength) == 0;
}

int LocalPort(SOCKET h) {
    sockaddr_storage address{};
    socklen_t nLength = sizeof address;
    if (h == INVALID_SOCKET ||
        getsockname(h, reinterpret_cast<sockaddr*>(&address), &nLength) != 0) {
        return 0;
    }
    if (address.ss_family == AF_INET6) {
        return ntohs(reinterpret_cast<sockaddr_in6*>(&address)->sin6_port);
    }
    return ntohs(reinterpret_cast<sockaddr_in*>(&address)->sin_port);
}

}  // namespace address
