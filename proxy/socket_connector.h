#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "event_loop.h"

class CAsyncSocket;

// How a CAsyncSocket connects: a numeric address at once, a name looked up off
// the loop's thread, and each address in turn until one answers. It exists
// only while a connection is being made; an idle connection keeps nothing of
// it. Its steps are static because a step may end the attempt (and so delete it).
class SocketConnector {
public:
    SocketConnector(int nPort, bool bFreshSocket) : m_nPort(nPort), m_bFreshSocket(bFreshSocket) {}

    // True when connected at once; false with the socket's last error
    // WSAEWOULDBLOCK when under way, or another error when it failed.
    static bool Start(CAsyncSocket& socket, const std::string& strHostAddress, int nHostPort);
    // The socket's events while an address is being tried: the attempt ends
    // (OnConnect), or the next address is tried.
    static void HandleEvents(CAsyncSocket& socket, std::uint32_t nEvents);
    // Drops a lookup under way.
    void Cancel(EventLoop& loop);

private:
    static bool TryAddresses(CAsyncSocket& socket, std::size_t nFirst);
    static void LookupDone(CAsyncSocket& socket, int nError, EventLoop::Addresses addresses);

    EventLoop::Addresses m_addresses;
    std::size_t m_nIndex = 0;
    int m_nPort;
    std::uint64_t m_nLookup = 0;
    bool m_bFreshSocket;  // the socket from Create has not been used yet
};
