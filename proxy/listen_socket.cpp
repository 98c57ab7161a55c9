#include "listen_socket.h"

CListenSocket::CListenSocket(const std::string& strHostName, int nHostPort)
    : m_pOwnTable(std::make_unique<CSessionTable>(strHostName, nHostPort)), m_table(*m_pOwnTable) {}

CListenSocket::CListenSocket(CSessionTable& table) : m_table(table) {}

CListenSocket::~CListenSocket() {
    m_pOwnTable.reset();  // ends every session of its own
    Close();
}

bool CListenSocket::StartListening(unsigned nLocalPort, const char* pszAddress) {
    if (!Create(nLocalPort, SOCK_STREAM,
                FD_READ | FD_WRITE | FD_OOB | FD_ACCEPT | FD_CONNECT | FD_CLOSE, pszAddress)) {
        return false;
    }
    if (!Listen()) {
        Close();  // keeps the error
        return false;
    }
    return AsyncSelect(FD_READ | FD_ACCEPT | FD_CLOSE);
}

void CListenSocket::OnAccept(int nErrorCode) {
    m_table.AcceptFrom(*this);
    CAsyncSocket::OnAccept(nErrorCode);
}
