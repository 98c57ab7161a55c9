#include "socket_connector.h"

#include <new>

#include "async_socket.h"
#include "socket_address.h"

bool SocketConnector::Start(CAsyncSocket& socket, const std::string& strHostAddress,
                            int nHostPort) {
    socket.m_pConnect =
        std::make_unique<SocketConnector>(nHostPort, socket.m_hSocket != INVALID_SOCKET);
    sockaddr_storage numeric;
    if (address::ParseNumeric(strHostAddress, numeric)) {
        socket.m_pConnect->m_addresses.push_back(numeric);
        return TryAddresses(socket, 0);
    }
    int nLookupError = 0;
    std::uint64_t nLookup = CAsyncSocket::Loop().Lookup(
        strHostAddress,
        [&socket](int nError, EventLoop::Addresses addresses) {
            try {
                LookupDone(socket, nError, std::move(addresses));
            } catch (...) {
                socket.HandleFailure();
            }
        },
        nLookupError);
    if (nLookup == 0) {
        socket.m_pConnect.reset();
        socket.m_state = CAsyncSocket::State::Failed;
        return CAsyncSocket::Fail(nLookupError);
    }
    socket.m_state = CAsyncSocket::State::Looking;
    socket.m_pConnect->m_nLookup = nLookup;
    return CAsyncSocket::Fail(WSAEWOULDBLOCK);
}

void SocketConnector::Cancel(EventLoop& loop) {
    if (m_nLookup != 0)
        loop.CancelLookup(m_nLookup);
    m_nLookup = 0;
}

void SocketConnector::LookupDone(CAsyncSocket& socket, int nError, EventLoop::Addresses addresses) {
    socket.m_pConnect->m_nLookup = 0;
    socket.m_state = CAsyncSocket::State::Failed;
    if (nError == 0) {
        socket.m_pConnect->m_addresses = std::move(addresses);
        if (TryAddresses(socket, 0)) {
            nError = 0;
        } else if (CAsyncSocket::GetLastError() == WSAEWOULDBLOCK) {
            return;  // OnConnect comes when the attempt ends
        } else {
            nError = CAsyncSocket::GetLastError();
        }
    } else {
        socket.m_pConnect.reset();
    }
    if (socket.m_lEvent & FD_CONNECT) {
        socket.OnConnect(nError);
    }
}

void SocketConnector::HandleEvents(CAsyncSocket& socket, std::uint32_t nEvents) {
    int nError = 0;
    if (nEvents & (sys::kErr | sys::kHup)) {
        nError = sys::PendingError(socket.m_hSocket);
    }
    if (nError == 0) {
        socket.BecomeConnected();
    } else if (TryAddresses(socket, socket.m_pConnect->m_nIndex + 1)) {
        nError = 0;
    } else if (CAsyncSocket::GetLastError() == WSAEWOULDBLOCK) {
        return;  // the next address is being tried
    }
    if (socket.m_lEvent & FD_CONNECT) {
        socket.OnConnect(nError);
        if (CAsyncSocket::Loop().WasUnregistered(&socket))
            return;
    }
    // The server's first bytes may have come with the connection.
    if (nError == 0 && socket.m_state == CAsyncSocket::State::Connected && (nEvents & sys::kIn)) {
        socket.HandleConnected(nEvents & ~std::uint32_t(sys::kOut));
    }
}

bool SocketConnector::TryAddresses(CAsyncSocket& socket, std::size_t nFirst) {
    SocketConnector& attempt = *socket.m_pConnect;
    int nError = sys::kErrHostUnreachable;
    for (std::size_t i = nFirst; i < attempt.m_addresses.size(); ++i) {
        sockaddr_storage target = attempt.m_addresses[i];
        bool bReuse = false;
        bool bMapped = false;
        if (attempt.m_bFreshSocket && socket.m_hSocket != INVALID_SOCKET) {
            if (socket.m_nFamily == target.ss_family) {
                bReuse = true;
            } else if (socket.m_nFamily == AF_INET6 && target.ss_family == AF_INET) {
                // The socket from Create reaches IPv4 mapped into IPv6, unless
                // the system makes IPv6 sockets IPv6-only; then a fresh one does.
                target = address::MapToIPv6(target);
                bReuse = bMapped = true;
            }
        }
        attempt.m_bFreshSocket = false;
        if (!bReuse) {
            socket.CloseDescriptor();
            if (!socket.OpenSocket(target.ss_family)) {
                nError = CAsyncSocket::GetLastError();
                continue;
            }
        }
        socklen_t nLength = address::SetPort(target, attempt.m_nPort);
        attempt.m_nIndex = i;
        if (connect(socket.m_hSocket, reinterpret_cast<sockaddr*>(&target), nLength) == 0) {
            socket.BecomeConnected();
            return true;
        }
        nError = sys::LastError();
        if (nError == sys::kErrInProgress) {
            socket.m_state = CAsyncSocket::State::Connecting;
            socket.UpdateInterest();
            return CAsyncSocket::Fail(WSAEWOULDBLOCK);
        }
        if (bMapped) {
            --i;  // the same address again, from a socket of its own family
        }
    }
    socket.m_state = CAsyncSocket::State::Failed;
    socket.m_pConnect.reset();
    socket.CloseDescriptor();
    return CAsyncSocket::Fail(nError);
}
