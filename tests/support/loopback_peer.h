#pragma once

// What the suites that run the proxy between scripted peers on loopback share:
// RFC 1939's APOP example, loopback addresses, a scripted peer, and a stand-in
// for the shell's window that records what the proxy tells it.

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "notice.h"
#include "socket_platform.h"

namespace loopback {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// RFC 1939's APOP example: user mrose, password tanstaaf.
inline constexpr std::string_view kRfcGreeting =
    "+OK POP3 server ready <1896.697170952@dbc.mtview.ca.us>\r\n";
inline constexpr std::string_view kRfcApop = "APOP mrose c4c9334bac560ecc979e58001b3e22fb\r\n";
inline constexpr std::string_view kUser = "mrose";
inline constexpr std::string_view kPassword = "tanstaaf";
inline constexpr std::string_view kLoggedIn =
    "+OK mrose's maildrop has 2 messages (320 octets)\r\n";

inline constexpr std::string_view kProxyGreeting = "+OK Postern 1.0 Ready\r\n";
inline constexpr std::string_view kPasswordPrompt = "+OK Password\r\n";

// What only the tests do to a socket: block, or reset at the close.
inline void SetBlocking(SOCKET h, bool bBlocking) {
#ifdef _WIN32
    u_long nOn = bBlocking ? 0 : 1;
    ioctlsocket(h, FIONBIO, &nOn);
#else
    int nFlags = fcntl(h, F_GETFL);
    fcntl(h, F_SETFL, bBlocking ? nFlags & ~O_NONBLOCK : nFlags | O_NONBLOCK);
#endif
}

// Closing then resets the connection instead of closing it in order.
inline void ResetOnClose(SOCKET h) {
    linger hard{1, 0};
    setsockopt(h, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&hard), sizeof hard);
}

inline sockaddr_in Loopback(int nPort) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(std::uint16_t(nPort));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

// A non-blocking listening socket on a free loopback port, which goes to
// nPort; INVALID_SOCKET when there is none.
inline SOCKET ListenOnLoopback(int& nPort) {
    SOCKET fd = sys::OpenStreamSocket(AF_INET);
    sockaddr_in address = Loopback(0);
    socklen_t nLength = sizeof address;
    if (fd == INVALID_SOCKET ||
        bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(fd, SOMAXCONN) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &nLength) != 0) {
        if (fd != INVALID_SOCKET)
            sys::CloseSocket(fd);
        return INVALID_SOCKET;
    }
    nPort = ntohs(address.sin_port);
    return fd;
}

// A loopback port that nothing listens on right now.
inline int FreePort() {
    int nPort = 0;
    SOCKET fd = ListenOnLoopback(nPort);
    if (fd != INVALID_SOCKET)
        sys::CloseSocket(fd);
    return nPort;
}

// A listening socket on nPort of every interface, IPv4 and IPv6, which makes
// that port busy for a listener; INVALID_SOCKET when it cannot be had.
inline SOCKET HoldPort(int nPort) {
    SOCKET fd = sys::OpenStreamSocket(AF_INET6);
    sys::SetOption(fd, IPPROTO_IPV6, IPV6_V6ONLY, 0);
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    address.sin6_addr = in6addr_any;
    address.sin6_port = htons(std::uint16_t(nPort));
    if (fd != INVALID_SOCKET &&
        (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
         listen(fd, SOMAXCONN) != 0)) {
        sys::CloseSocket(fd);
        return INVALID_SOCKET;
    }
    return fd;
}

// A mail client connected to nPort on loopback, ready to be adopted by a
// CPeer; INVALID_SOCKET when the connection is refused.
inline SOCKET ConnectToLoopback(int nPort) {
    SOCKET fd = sys::OpenStreamSocket(AF_INET);
    SetBlocking(fd, true);
    sockaddr_in address = Loopback(nPort);
    // Loopback with a listening socket: the handshake completes without an accept.
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        sys::CloseSocket(fd);
        return INVALID_SOCKET;
    }
    sys::SetOption(fd, IPPROTO_TCP, TCP_NODELAY, 1);
    return fd;
}

// One end of a loopback connection, played by the test. Non-blocking: Poll
// reads what is waiting (while reading is on) and writes what is queued.
class CPeer {
public:
    explicit CPeer(SOCKET fd) : m_fd(fd) { SetBlocking(m_fd, false); }
    ~CPeer() { Close(); }
    CPeer(const CPeer&) = delete;
    CPeer& operator=(const CPeer&) = delete;

    void Send(std::string_view bytes) {
        m_strOut.append(bytes);
        Poll();
    }

    void Poll() {
        if (m_fd == INVALID_SOCKET)
            return;
        while (m_nOutOffset < m_strOut.size()) {
            ssize_t n =
                sys::SendSome(m_fd, m_strOut.data() + m_nOutOffset, m_strOut.size() - m_nOutOffset);
            if (n > 0) {
                m_nOutOffset += std::size_t(n);
            } else if (n < 0 && sys::LastError() == sys::kErrInterrupted) {
                continue;
            } else {
                break;
            }
        }
        if (m_nOutOffset == m_strOut.size()) {
            m_strOut.clear();
            m_nOutOffset = 0;
        }
        while (m_bReading && !m_bEof) {
            char buffer[64 * 1024];
            ssize_t n = sys::ReceiveSome(m_fd, buffer, sizeof buffer);
            if (n > 0) {
                m_strIn.append(buffer, std::size_t(n));
            } else if (n == 0) {
                m_bEof = true;
            } else if (sys::LastError() == sys::kErrInterrupted) {
                continue;
            } else if (sys::IsWouldBlock(sys::LastError())) {
                break;
            } else {
                m_bEof = true;  // reset
            }
        }
    }

    void Close() {
        if (m_fd != INVALID_SOCKET)
            sys::CloseSocket(m_fd);
        m_fd = INVALID_SOCKET;
    }

    // Closes with a reset instead of an orderly close.
    void Reset() {
        ResetOnClose(m_fd);
        Close();
    }

    void SetReading(bool bReading) { m_bReading = bReading; }
    // The other side has closed (or reset) the connection.
    bool IsClosedByPeer() const { return m_bEof; }
    const std::string& Received() const { return m_strIn; }
    std::string TakeReceived() { return std::exchange(m_strIn, {}); }
    std::size_t Unsent() const { return m_strOut.size() - m_nOutOffset; }
    SOCKET Fd() const { return m_fd; }

private:
    SOCKET m_fd;
    std::string m_strIn;
    std::string m_strOut;
    std::size_t m_nOutOffset = 0;
    bool m_bReading = true;
    bool m_bEof = false;
};

// Stands in for the shell: records notices (wParam 1 opened, 0 ended),
// reports and refused capability queries; a suite's window deletes ended sessions in OnNotice, as
// the shell's handler does.
class CNoticeRecorder : public CNoticeWnd {
public:
    struct Notice {
        WPARAM wParam;
        LPARAM lParam;
    };

    LRESULT OnSessionNotify(WPARAM wParam, LPARAM lParam) override {
        m_notices.push_back({wParam, lParam});
        OnNotice(wParam, lParam);
        return 0;
    }
    void OnReport(const std::string& strText) override { m_reports.push_back(strText); }
    void OnCapaRefused() override { ++m_nCapaRefused; }

    std::size_t CountNotices(WPARAM wParam, LPARAM lParam) const {
        std::size_t n = 0;
        for (const Notice& notice : m_notices)
            n += notice.wParam == wParam && notice.lParam == lParam;
        return n;
    }
    std::size_t CountNotices(WPARAM wParam) const {
        std::size_t n = 0;
        for (const Notice& notice : m_notices) n += notice.wParam == wParam;
        return n;
    }
    bool HasEnded(LPARAM nId) const { return CountNotices(0, nId) > 0; }

    // The session opened most recently, by its open notice; 0 when none was.
    LPARAM LastOpened() const {
        for (auto it = m_notices.rbegin(); it != m_notices.rend(); ++it) {
            if (it->wParam == 1)
                return it->lParam;
        }
        return 0;
    }

    std::vector<Notice> m_notices;
    std::vector<std::string> m_reports;
    int m_nCapaRefused = 0;

protected:
    virtual void OnNotice(WPARAM wParam, LPARAM lParam) = 0;
};

}  // namespace loopback
