#include "session_table.h"

#include <algorithm>
#include <memory>

#include "notice.h"
#include "session_log.h"

namespace {

constexpr char kGreeting[] = "+OK Postern 1.0 Ready\r\n";

}  // namespace

CSessionTable::CSessionTable(const std::string& strHostName, int nHostPort)
    : m_nHostPort(nHostPort), m_strHostName(std::make_shared<const std::string>(strHostName)) {
    EventLoop::Current()->AddShedder(this, [this] { return ShedConnection(); });
}

CSessionTable::~CSessionTable() {
    EventLoop::Current()->RemoveShedder(this);
    if (m_nLoginTimer != 0)
        EventLoop::Current()->KillTimer(m_nLoginTimer);
    for (auto& [nId, pSession] : m_listSessions) {
        delete pSession;
    }
    m_listSessions.clear();
}

void CSessionTable::AcceptFrom(CAsyncSocket& listener) {
    // What a session needs and may not get is had before its connection is
    // taken: without it, the connection is refused. After, a failure deletes
    // the session unannounced, which closes its connection.
    std::unique_ptr<CClientSocket> pSession;
    try {
        if (m_listSessions.size() == m_listSessions.capacity())
            m_listSessions.reserve(std::max<std::size_t>(16, 2 * m_listSessions.capacity()));
        pSession =
            std::make_unique<CClientSocket>(m_strHostName, m_nHostPort, m_bAnswerCapa, m_pTls);
        pSession->ReserveEndNotice();
    } catch (...) {
        pSession.reset();
        CAsyncSocket refused;  // take the connection off the queue; closing it refuses it
        listener.Accept(refused);
        return;
    }
    if (!listener.Accept(*pSession))
        return;
    try {
        pSession->AsyncSelect(FD_READ | FD_CLOSE);
        pSession->Send(kGreeting, sizeof kGreeting - 1, 0);
        PostSessionNotify(1, pSession->GetSessionId());
    } catch (...) {
        return;
    }
    CClientSocket& session = *pSession.release();
    m_listSessions.emplace_back(session.GetSessionId(), &session);  // room was made
    session_log::Started(session.GetSessionId(), session.m_hSocket);
    try {
        ArmLoginTimer(LoginDeadline(session));
    } catch (...) {
        // Out of memory for the timer: the next session accepted arms it.
    }
}

CSessionTable::SessionList::const_iterator CSessionTable::Find(LPARAM nSessionId) const {
    auto it = std::lower_bound(m_listSessions.begin(), m_listSessions.end(), nSessionId,
                               [](const auto& entry, LPARAM nId) { return entry.first < nId; });
    return it != m_listSessions.end() && it->first == nSessionId ? it : m_listSessions.end();
}

void CSessionTable::RemoveSession(LPARAM nSessionId) {
    auto it = Find(nSessionId);
    if (it == m_listSessions.end()) {
        return;
    }
    CClientSocket* pSession = it->second;
    session_log::Ended(nSessionId, pSession->Record(),
                       std::chrono::steady_clock::now() - pSession->GetAcceptTime());
    delete pSession;
    m_listSessions.erase(it);
}

void CSessionTable::EndAll(SessionEnd nWhy) {
    auto tNow = std::chrono::steady_clock::now();
    for (auto& [nId, pSession] : m_listSessions) {
        pSession->Record().Ended(nWhy);
        session_log::Ended(nId, pSession->Record(), tNow - pSession->GetAcceptTime());
        delete pSession;
    }
    m_listSessions.clear();
}

CClientSocket* CSessionTable::FindSession(LPARAM nSessionId) const {
    auto it = Find(nSessionId);
    return it == m_listSessions.end() ? nullptr : it->second;
}

bool CSessionTable::ShedConnection() {
    // The oldest that has not sent USER, else the oldest that has not sent PASS.
    for (SessionState nState : {AwaitUser, AwaitPass}) {
        for (auto& [nId, pSession] : m_listSessions) {
            if (pSession->GetState() == nState && !pSession->HasEnded()) {
                pSession->Shed();
                return true;
            }
        }
    }
    return false;
}

CSessionTable::TimePoint CSessionTable::LoginDeadline(const CClientSocket& session) const {
    auto limit =
        session.GetState() == AwaitUser ? std::min(m_userTimeout, m_loginTimeout) : m_loginTimeout;
    return session.GetAcceptTime() + limit;
}

void CSessionTable::ArmLoginTimer(TimePoint tDeadline) {
    // One timer for all sessions; it fires a little late so that the sessions
    // accepted in a burst are ended together.
    TimePoint tDue = tDeadline + std::min(m_userTimeout, m_loginTimeout) / 16;
    EventLoop& loop = *EventLoop::Current();
    if (m_nLoginTimer != 0) {
        if (m_tLoginTimerDue <= tDue)
            return;
        loop.KillTimer(m_nLoginTimer);
        m_nLoginTimer = 0;
    }
    m_nLoginTimer = loop.SetTimer(tDue - std::chrono::steady_clock::now(), [this] {
        m_nLoginTimer = 0;
        EndOverdueLogins();
    });
    m_tLoginTimerDue = tDue;
}

void CSessionTable::EndOverdueLogins() {
    auto tNow = std::chrono::steady_clock::now();
    auto tNextDeadline = TimePoint::max();
    for (auto& [nId, pSession] : m_listSessions) {
        if (!pSession->IsLoginPending() || pSession->HasEnded())
            continue;
        TimePoint tDeadline = LoginDeadline(*pSession);
        if (tDeadline <= tNow) {
            pSession->Record().Ended(pSession->GetState() == AwaitUser ? SessionEnd::UserTimeout
                                                                       : SessionEnd::LoginTimeout);
            pSession->EndAndClose();
        } else if (tDeadline < tNextDeadline) {
            tNextDeadline = tDeadline;
        }
    }
    if (tNextDeadline != TimePoint::max()) {
        ArmLoginTimer(tNextDeadline);
    }
}
