#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "async_socket.h"
#include "client_socket.h"
#include "session_table.h"

// The socket that waits on the local port for mail clients and hands each to
// its session table. Made with a host name and port, it has a table of its
// own, and its destructor ends every session of it (without notices); made
// with a table, it shares that table with other listening sockets, and the
// sessions are the table's. A session is deleted only by RemoveSession (when
// the shell handles its end notice) or with its table.
class CListenSocket : public CAsyncSocket {
public:
    static constexpr std::chrono::milliseconds kLoginTimeout = CSessionTable::kLoginTimeout;

    CListenSocket(const std::string& strHostName, int nHostPort);
    explicit CListenSocket(CSessionTable& table);
    ~CListenSocket() override;

    // Creates the socket on nLocalPort of every interface (or of the numeric
    // address pszAddress), listens with the system's largest backlog and selects
    // FD_READ | FD_ACCEPT | FD_CLOSE. False when the port cannot be had, with
    // the error in GetLastError().
    bool StartListening(unsigned nLocalPort, const char* pszAddress = nullptr);

    void OnAccept(int nErrorCode) override;

    // The table's operations, for a listener that has one of its own.
    CSessionTable& Sessions() const { return m_table; }
    void RemoveSession(LPARAM nSessionId) { m_table.RemoveSession(nSessionId); }
    std::size_t GetSessionCount() const { return m_table.GetSessionCount(); }
    CClientSocket* FindSession(LPARAM nSessionId) const { return m_table.FindSession(nSessionId); }
    void SetLoginTimeout(std::chrono::milliseconds timeout) { m_table.SetLoginTimeout(timeout); }
    void SetUserTimeout(std::chrono::milliseconds timeout) { m_table.SetUserTimeout(timeout); }
    void SetAnswerCapa(bool bAnswerCapa) { m_table.SetAnswerCapa(bAnswerCapa); }
    void SetServerTls(SharedTls pTls) { m_table.SetServerTls(std::move(pTls)); }

private:
    std::unique_ptr<CSessionTable> m_pOwnTable;  // null when the table is shared
    CSessionTable& m_table;
};
