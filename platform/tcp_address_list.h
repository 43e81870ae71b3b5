// The resolver's list of addresses as TcpAddress records; the same for every system's
// addrinfo, which differ only in the header that declares them.
#pragma once

#include <cstring>
#include <vector>

#include "platform/tcp_socket.h"

template <typename AddrInfo>
void tcp_addresses_from(const AddrInfo* found, std::vector<TcpAddress>& addresses) {
  addresses.clear();
  for (const AddrInfo* a = found; a != nullptr; a = a->ai_next) {
    TcpAddress address;
    if (a->ai_addrlen > sizeof address.bytes) continue;  // no family this large exists
    address.family = a->ai_family;
    address.length = static_cast<int>(a->ai_addrlen);
    std::memcpy(address.bytes, a->ai_addr, a->ai_addrlen);
    addresses.push_back(address);
  }
}
