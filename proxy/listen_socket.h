#pragma once

#include <chrono>
#include <string>
#include <utility>
#include <vector>

#include "async_socket.h"
#include "client_socket.h"

// The socket that waits on the local port for mail clients. It owns every
// session it accepts; a session is deleted only by RemoveSession (when the
// shell handles its end notice) or by the listener's destructor.
class CListenSocket : public CAsyncSocket {
public:
    // RFC 1939's shortest autologout: a mail client that has not logged in by
    // then is disconnected.
    static constexpr std::chrono::milliseconds kLoginTimeout = std::chrono::minutes(10);

    CListenSocket(const std::string& strHostName, int nHostPort);
    ~CListenSocket() override;

    // Creates the socket on nLocalPort of every interface (or of the numeric
    // address pszAddress), listens with the system's largest backlog and selects
    // FD_READ | FD_ACCEPT | FD_CLOSE. False when the port cannot be had, with
    // the error in GetLastError().
    bool StartListening(unsigned nLocalPort, const char* pszAddress = nullptr);

    void OnAccept(int nErrorCode) override;
    // Deletes the session with that number; does nothing when there is none.
    void RemoveSession(LPARAM nSessionId);

    std::size_t GetSessionCount() const { return m_listSessions.size(); }
    CClientSocket* FindSession(LPARAM nSessionId) const;
    void SetLoginTimeout(std::chrono::milliseconds timeout) { m_loginTimeout = timeout; }
    // Whether sessions accepted from now on answer CAPA and other commands before USER.
    void SetAnswerCapa(bool bAnswerCapa) { m_bAnswerCapa = bAnswerCapa; }

private:
    using SessionList = std::vector<std::pair<LPARAM, CClientSocket*>>;
    SessionList::const_iterator Find(LPARAM nSessionId) const;
    void ArmLoginTimer(std::chrono::steady_clock::time_point tDeadline);
    void EndOverdueLogins();

    int m_nHostPort;
    SharedText m_strHostName;
    // In the order of acceptance, which is also the order of the session
    // numbers, so a session is found by binary search.
    std::vector<std::pair<LPARAM, CClientSocket*>> m_listSessions;
    std::chrono::milliseconds m_loginTimeout = kLoginTimeout;
    EventLoop::TimerId m_nLoginTimer = 0;
    bool m_bAnswerCapa = false;
};
