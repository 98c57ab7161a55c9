#pragma once

#include <chrono>
#include <cstddef>
#include <string>
#include <utility>
#include <vector>

#include "async_socket.h"
#include "client_socket.h"

// The sessions of one proxy configuration: it makes a session for each mail
// client a listening socket accepts, numbers it, ends it when it has not
// logged in in time, and deletes it on RemoveSession or with the table. One
// table may serve several listening sockets (say, 127.0.0.1 and ::1). When
// the process runs out of descriptors, it gives up the oldest connection that
// has not got as far as PASS.
class CSessionTable {
public:
    // RFC 1939's shortest autologout: a mail client that has not logged in by
    // then is disconnected.
    static constexpr std::chrono::milliseconds kLoginTimeout = std::chrono::minutes(10);
    // A mail client sends USER at once; a connection that has not by then is
    // not one, and holds a descriptor others need.
    static constexpr std::chrono::milliseconds kUserTimeout = std::chrono::seconds(60);

    CSessionTable(const std::string& strHostName, int nHostPort);
    // Deletes every session, without notices.
    ~CSessionTable();
    CSessionTable(const CSessionTable&) = delete;
    CSessionTable& operator=(const CSessionTable&) = delete;

    // Accepts the connection waiting on listener as a new session: it greets
    // the mail client and posts the session's start notice. A connection that
    // cannot get a session (out of memory or descriptors) is refused.
    void AcceptFrom(CAsyncSocket& listener);
    // Deletes the session with that number; does nothing when there is none.
    void RemoveSession(LPARAM nSessionId);
    // Deletes every session, without notices, each logged as ended for nWhy
    // unless it had ended already.
    void EndAll(SessionEnd nWhy);

    std::size_t GetSessionCount() const { return m_listSessions.size(); }
    CClientSocket* FindSession(LPARAM nSessionId) const;
    void SetLoginTimeout(std::chrono::milliseconds timeout) { m_loginTimeout = timeout; }
    void SetUserTimeout(std::chrono::milliseconds timeout) { m_userTimeout = timeout; }
    // Whether sessions accepted from now on answer CAPA and other commands before USER.
    void SetAnswerCapa(bool bAnswerCapa) { m_bAnswerCapa = bAnswerCapa; }
    // How sessions accepted from now on reach the server: plain, STLS or TLS.
    void SetServerTls(SharedTls pTls) { m_pTls = std::move(pTls); }

private:
    using SessionList = std::vector<std::pair<LPARAM, CClientSocket*>>;
    using TimePoint = std::chrono::steady_clock::time_point;

    SessionList::const_iterator Find(LPARAM nSessionId) const;
    bool ShedConnection();
    TimePoint LoginDeadline(const CClientSocket& session) const;
    // Arms the timer for tDeadline unless it is armed for about then or earlier.
    void ArmLoginTimer(TimePoint tDeadline);
    void EndOverdueLogins();

    int m_nHostPort;
    SharedText m_strHostName;
    // In the order of acceptance, which is also the order of the session
    // numbers, so a session is found by binary search.
    SessionList m_listSessions;
    std::chrono::milliseconds m_loginTimeout = kLoginTimeout;
    std::chrono::milliseconds m_userTimeout = kUserTimeout;
    EventLoop::TimerId m_nLoginTimer = 0;
    TimePoint m_tLoginTimerDue;
    bool m_bAnswerCapa = false;
    SharedTls m_pTls;
};
