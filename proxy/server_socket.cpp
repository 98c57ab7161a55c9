#include "server_socket.h"

#include <cstdio>
#include <cstring>

#include "line_relay.h"
#include "md5_digest.h"
#include "memory_ops.h"
#include "pop3_text.h"

namespace {

void CopyName(char* pszField, std::string_view text) {
    std::size_t nLength = std::min(text.size(), std::size_t(CServerSocket::kMaxNameLength));
    if (nLength > 0)
        std::memcpy(pszField, text.data(), nLength);
    std::memset(pszField + nLength, 0, std::size_t(CServerSocket::kMaxNameLength) + 1 - nLength);
}

void Wipe(void* p, std::size_t n) {
    explicit_bzero(p, n);
}

}  // namespace

CServerSocket::CServerSocket(CClientSocket* pClient, SharedText strHostName, int nHostPort)
    : m_nHostPort(nHostPort), m_strHostName(std::move(strHostName)), m_pClient(pClient) {}

CServerSocket::~CServerSocket() {
    Close();
    Wipe(m_szPassword, sizeof m_szPassword);
}

void CServerSocket::SetUser(std::string_view user) {
    CopyName(m_szUser, user);
}

void CServerSocket::SetPassword(std::string_view password) {
    CopyName(m_szPassword, password);
}

void CServerSocket::OnConnect(int nErrorCode) {
    if (nErrorCode != 0) {
        char szText[320];
        std::snprintf(szText, sizeof szText, "Cannot connect %s:%d (%d)", m_strHostName->c_str(),
                      m_nHostPort, nErrorCode);
        PostReport(szText);
        Close();
        Wipe(m_szPassword, sizeof m_szPassword);
        m_pClient->OnServerLinkFailed();
    }
    CAsyncSocket::OnConnect(nErrorCode);
}

void CServerSocket::OnReceive(int nErrorCode) {
    if (!m_bAwaitGreeting) {
        if (relay::RelayLines(*this, *m_pClient, m_buffer, m_nCount, m_bAfterCR, m_bDropLF) > 0) {
            m_bLoginAnswered = m_bApopSent;
        }
        CAsyncSocket::OnReceive(nErrorCode);
        return;
    }
    if (relay::ReceiveHeld(*this, m_buffer, m_nCount, m_bDropLF) > 0) {
        ProcessLines();
        if (m_bAwaitGreeting && m_nCount == RECV_BUFFER_SIZE) {
            EndSession();  // a greeting longer than the buffer
        }
    }
    CAsyncSocket::OnReceive(nErrorCode);
}

void CServerSocket::OnClose(int nErrorCode) {
    // Whatever either side sent last reaches the other, partial line included.
    ForwardAllHeld();
    m_pClient->ForwardAllHeld();
    EndSession();
    CAsyncSocket::OnClose(nErrorCode);
}

void CServerSocket::ForwardAllHeld() {
    if (!m_bAwaitGreeting) {
        relay::ForwardAllHeld(*m_pClient, m_buffer, m_nCount);
    }
}

void CServerSocket::ProcessLines() {
    if (m_bAwaitGreeting) {
        int nLength = int(pop3::LineLength(m_buffer, std::size_t(m_nCount)));
        if (nLength == 0) {
            return;
        }
        m_bDropLF = nLength == m_nCount && m_buffer[nLength - 1] == '\r';
        OnGreeting(nLength);
        relay::RemoveHeld(m_buffer, m_nCount, nLength);
    }
    relay::ForwardHeldLines(*m_pClient, m_buffer, m_nCount, m_bAfterCR);
}

void CServerSocket::OnGreeting(int nLength) {
    m_bAwaitGreeting = false;
    std::string_view timeStamp = pop3::FindTimeStamp({m_buffer, std::size_t(nLength)});
    char szCommand[kApopAreaSize];
    int nCommand = 0;
    if (!timeStamp.empty()) {
        char szTimeStamp[RECV_BUFFER_SIZE + 1];
        std::memcpy(szTimeStamp, timeStamp.data(), timeStamp.size());
        szTimeStamp[timeStamp.size()] = '\0';
        nCommand = BuildApopCommand(szTimeStamp, szCommand);
    }
    Wipe(m_szPassword, sizeof m_szPassword);
    if (nCommand == 0) {
        // No time stamp, or one too long to use: nothing can be sent.
        EndSession();
        return;
    }
    Send(szCommand, nCommand, 0);
    m_bApopSent = true;
    m_pClient->OnServerLoginSent();
}

int CServerSocket::BuildApopCommand(const char* pszTimeStamp, char* pszOut) {
    char szJoined[kApopAreaSize];
    std::size_t nStamp = std::strlen(pszTimeStamp);
    std::size_t nPassword = std::strlen(m_szPassword);
    if (nStamp + nPassword >= sizeof szJoined) {
        return 0;
    }
    std::memcpy(szJoined, pszTimeStamp, nStamp);
    std::memcpy(szJoined + nStamp, m_szPassword, nPassword + 1);
    CMD5Digest digest(szJoined);
    Wipe(szJoined, sizeof szJoined);
    int nLength = std::snprintf(pszOut, kApopAreaSize, "APOP %s %s\r\n", m_szUser, digest.GetHex());
    return nLength;
}

void CServerSocket::OnFailure() {
    EndSession();
}

void CServerSocket::EndSession() {
    Close();
    m_pClient->PostEndNotice();
}
