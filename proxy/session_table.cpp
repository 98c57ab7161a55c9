#include "session_table.h"

#include <algorithm>
#include <new>

#include "notice.h"
#include "session_log.h"

namespace {

constexpr char kGreeting[] = "+OK Postern 1.0 Ready\r\n";

}  // namespace

CSessionTable::CSessionTable(const std::string& strHostName, int nHostPort)
    : m_nHostPort(nHostPort), m_strHostName(std::make_shared<const std::string>(strHostName)) {}

CSessionTable::~CSessionTable() {
    if (m_nLoginTimer != 0)
        EventLoop::Current()->KillTimer(m_nLoginTimer);
    for (auto& [nId, pSession] : m_listSessions) {
        delete pSession;
    }
    m_listSessions.clear();
}

void CSessionTable::AcceptFrom(CAsyncSocket& listener) {
    CClientSocket* pSession =
        new (std::nothrow) CClientSocket(m_strHostName, m_nHostPort, m_bAnswerCapa, m_pTls);
    if (pSession == nullptr) {
        CAsyncSocket refused;  // take the connection off the queue; closing it refuses it
        listener.Accept(refused);
    } else if (!listener.Accept(*pSession)) {
        delete pSession;
    } else if (!pSession->HasServerLink()) {
        delete pSession;  // no descriptor or memory for its server link: refuse it
    } else {
        pSession->AsyncSelect(FD_READ | FD_CLOSE);
        m_listSessions.emplace_back(pSession->GetSessionId(), pSession);
        pSession->Send(kGreeting, sizeof kGreeting - 1, 0);
        PostSessionNotify(1, pSession->GetSessionId());
        session_log::Started(pSession->GetSessionId(), pSession->m_hSocket);
        if (m_nLoginTimer == 0) {
            ArmLoginTimer(pSession->GetAcceptTime() + m_loginTimeout);
        }
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

void CSessionTable::ArmLoginTimer(std::chrono::steady_clock::time_point tDeadline) {
    // One timer for all sessions; it fires a little late so that the sessions
    // accepted in a burst are ended together.
    auto delay = tDeadline - std::chrono::steady_clock::now() + m_loginTimeout / 16;
    m_nLoginTimer = EventLoop::Current()->SetTimer(delay, [this] {
        m_nLoginTimer = 0;
        EndOverdueLogins();
    });
}

void CSessionTable::EndOverdueLogins() {
    auto tNow = std::chrono::steady_clock::now();
    auto tNextDeadline = std::chrono::steady_clock::time_point::max();
    for (auto& [nId, pSession] : m_listSessions) {
        if (!pSession->IsLoginPending())
            continue;
        auto tDeadline = pSession->GetAcceptTime() + m_loginTimeout;
        if (tDeadline <= tNow) {
            pSession->Record().Ended(SessionEnd::LoginTimeout);
            pSession->EndAndClose();
        } else if (tDeadline < tNextDeadline) {
            tNextDeadline = tDeadline;
        }
    }
    if (tNextDeadline != std::chrono::steady_clock::time_point::max()) {
        ArmLoginTimer(tNextDeadline);
    }
}
