#include "server_socket.h"

#include <cstdio>
#include <cstring>

#include "line_relay.h"
#include "md5_digest.h"
#include "memory_ops.h"
#include "pop3_text.h"
#include "session_log.h"
#include "socket_error_text.h"

namespace {

void Wipe(void* p, std::size_t n) {
    explicit_bzero(p, n);
}

constexpr char kStls[] = "STLS\r\n";

bool IsPositive(const char* p, int nLength) {
    return nLength >= 3 && std::memcmp(p, "+OK", 3) == 0;
}

bool CopyName(char* pszField, std::string_view text) {
    if (text.size() > std::size_t(CServerSocket::kMaxNameLength))
        return false;
    if (!text.empty())  // an empty view may have no data at all
        std::memcpy(pszField, text.data(), text.size());
    pszField[text.size()] = '\0';
    return true;
}

}  // namespace

CServerSocket::Credentials::~Credentials() {
    Wipe(this, sizeof *this);
}

CServerSocket::CServerSocket(CClientSocket* pClient, SharedText strHostName, int nHostPort,
                             SharedTls pTls)
    : m_nHostPort(nHostPort),
      m_strHostName(std::move(strHostName)),
      m_pClient(pClient),
      m_pTls(std::move(pTls)) {
    if (m_pTls != nullptr && m_pTls->nMode == ServerTls::Plain)
        m_pTls.reset();
}

CServerSocket::~CServerSocket() {
    if (m_nSetupTimer != 0)
        Loop().KillTimer(m_nSetupTimer);
    Close();
}

bool CServerSocket::SetUser(std::string_view user) {
    if (!m_pCredentials)
        m_pCredentials = std::make_unique<Credentials>();
    return CopyName(m_pCredentials->m_szUser, user);
}

bool CServerSocket::SetPassword(std::string_view password) {
    if (!m_pCredentials)
        m_pCredentials = std::make_unique<Credentials>();
    return CopyName(m_pCredentials->m_szPassword, password);
}

bool CServerSocket::ConnectToServer() {
    m_pClient->Record().StartLogin(GetUser());
    if (!Connect(*m_strHostName, m_nHostPort) && GetLastError() != WSAEWOULDBLOCK) {
        FailConnect(GetLastError());
        return false;
    }
    ArmSetupTimer();
    return true;
}

void CServerSocket::OnConnect(int nErrorCode) {
    if (nErrorCode != 0) {
        FailConnect(nErrorCode);
    } else if (m_pTls != nullptr && m_pTls->nMode == ServerTls::Tls) {
        // POP3S: the handshake first; the greeting comes through it.
        StartTls();
    }
    CAsyncSocket::OnConnect(nErrorCode);
}

int CServerSocket::Receive(void* lpBuf, int nBufLen, int nFlags) {
    int nReceived = CAsyncSocket::Receive(lpBuf, nBufLen, nFlags);
    if (nReceived > 0)
        m_pClient->Record().nFromServer += std::uint64_t(nReceived);
    return nReceived;
}

void CServerSocket::OnReceive(int nErrorCode) {
    // Held until the login's answer, which the session log tells.
    if (m_bLoginAnswered) {
        relay::RelayLines(*this, *m_pClient, m_buffer, m_nCount, m_bAfterCR, m_bDropLF);
        CAsyncSocket::OnReceive(nErrorCode);
        return;
    }
    if (relay::ReceiveHeld(*this, m_buffer, m_nCount, m_bDropLF) > 0) {
        ProcessLines();
        if (!m_bLoginSent && m_nCount == RECV_BUFFER_SIZE) {
            FailLogin(HostAndPort() + " sent a line longer than " +
                      std::to_string(RECV_BUFFER_SIZE) + " bytes");
        }
    }
    CAsyncSocket::OnReceive(nErrorCode);
}

void CServerSocket::OnClose(int nErrorCode) {
    if (!m_bLoginSent) {
        // TLS refused the server (its certificate, say) before any byte of the
        // login went out, or the server went away before the login.
        std::string strReason = "Cannot connect " + HostAndPort();
        const char* pszFailure = GetStreamFailure();
        const CertFingerprint* pRefused = GetStream() ? RefusedCertificate(*GetStream()) : nullptr;
        if (pszFailure != nullptr) {
            strReason += " (" + std::string(pszFailure) + ")";
        } else {
            strReason += " (the server closed the connection before the login)";
        }
        FailLogin(strReason, strReason, pRefused ? FormatFingerprint(*pRefused) : std::string());
        CAsyncSocket::OnClose(nErrorCode);
        return;
    }
    m_pClient->Record().Ended(SessionEnd::ServerClosed);
    // Whatever either side sent last reaches the other, partial line included.
    ForwardAllHeld();
    if (nErrorCode == 0 && !IsBroken() && m_pClient->IsRelaying() && !m_pClient->HasPeerClosed()) {
        // The server has only stopped sending: the mail client hears that,
        // and its lines still go to the server until it closes.
        m_pClient->ShutdownSending();
        CAsyncSocket::OnClose(nErrorCode);
        return;
    }
    m_pClient->ForwardAllHeld();
    EndSession();
    CAsyncSocket::OnClose(nErrorCode);
}

void CServerSocket::ForwardAllHeld() {
    if (!m_bAwaitGreeting && m_nTlsStep == TlsStep::None) {
        relay::ForwardAllHeld(*m_pClient, m_buffer, m_nCount);
    }
}

void CServerSocket::ProcessLines() {
    // The greeting, and over TLS the answers to STLS and USER, are the link's own.
    while (m_bAwaitGreeting || m_nTlsStep != TlsStep::None) {
        int nLength = int(pop3::LineLength(m_buffer, std::size_t(m_nCount)));
        if (nLength == 0) {
            return;
        }
        m_bDropLF = nLength == m_nCount && m_buffer[nLength - 1] == '\r';
        if (m_bAwaitGreeting) {
            OnGreeting(nLength);
        } else if (m_nTlsStep == TlsStep::StlsAnswer) {
            OnStlsAnswer(nLength);
        } else {
            OnUserAnswer(nLength);
        }
        if (m_nCount == 0) {
            return;  // refused: nothing the server sent goes on
        }
        relay::RemoveHeld(m_buffer, m_nCount, nLength);
    }
    if (m_bLoginSent && !m_bLoginAnswered) {
        std::size_t nLength = pop3::LineLength(m_buffer, std::size_t(m_nCount));
        if (nLength != 0 || m_nCount == RECV_BUFFER_SIZE) {
            m_bLoginAnswered = true;
            TellLoginAnswer({m_buffer, nLength != 0 ? nLength : std::size_t(m_nCount)});
        }
    }
    relay::ForwardHeldLines(*m_pClient, m_buffer, m_nCount, m_bAfterCR);
}

void CServerSocket::OnGreeting(int nLength) {
    m_bAwaitGreeting = false;
    std::string_view timeStamp = pop3::FindTimeStamp({m_buffer, std::size_t(nLength)});
    char szCommand[kApopAreaSize];
    int nCommand = timeStamp.empty() ? 0 : BuildApopCommand(timeStamp, szCommand);
    if (m_pTls == nullptr && nCommand == 0) {
        // Without TLS nothing but APOP keeps the password off the network.
        FailLogin(HostAndPort() + " offers no APOP (no time stamp in its greeting)");
        return;
    }
    if (nCommand != 0) {
        Wipe(m_pCredentials->m_szPassword, sizeof m_pCredentials->m_szPassword);
    }
    if (m_pTls != nullptr && m_pTls->nMode == ServerTls::StartTls) {
        // Nothing but STLS before TLS is up; the login waits for it. RFC 2595
        // sends no second greeting, so this greeting's time stamp is the one.
        m_strPendingLogin.assign(szCommand, std::size_t(nCommand));
        Wipe(szCommand, sizeof szCommand);
        Send(kStls, sizeof kStls - 1, 0);
        m_nTlsStep = TlsStep::StlsAnswer;
        return;
    }
    if (nCommand == 0) {
        SendUser();  // over verified TLS, to a server without APOP
        return;
    }
    Send(szCommand, nCommand, 0);
    LoginSent();
}

void CServerSocket::OnStlsAnswer(int nLength) {
    std::string strServer = "Cannot connect " + HostAndPort();
    if (!IsPositive(m_buffer, nLength)) {
        FailLogin(strServer + " (the server refused STLS)");
        return;
    }
    if (nLength != m_nCount) {
        // Bytes behind the +OK would be taken as coming through TLS.
        FailLogin(strServer + " (the server sent more than its answer to STLS)");
        return;
    }
    m_nTlsStep = TlsStep::None;
    if (!StartTls())
        return;
    if (m_strPendingLogin.empty()) {
        SendUser();
        return;
    }
    // Written by the stream once the handshake has checked the certificate.
    Send(m_strPendingLogin.data(), int(m_strPendingLogin.size()), 0);
    Wipe(m_strPendingLogin.data(), m_strPendingLogin.size());
    std::string().swap(m_strPendingLogin);
    LoginSent();
}

void CServerSocket::SendUser() {
    m_pClient->Record().bUserPass = true;
    char szCommand[kApopAreaSize];
    int nLength =
        std::snprintf(szCommand, sizeof szCommand, "USER %s\r\n", m_pCredentials->m_szUser);
    Send(szCommand, nLength, 0);
    m_nTlsStep = TlsStep::UserAnswer;
}

void CServerSocket::OnUserAnswer(int nLength) {
    m_nTlsStep = TlsStep::None;
    if (IsPositive(m_buffer, nLength)) {
        char szCommand[kApopAreaSize];
        int nCommand =
            std::snprintf(szCommand, sizeof szCommand, "PASS %s\r\n", m_pCredentials->m_szPassword);
        Send(szCommand, nCommand, 0);
        Wipe(szCommand, sizeof szCommand);
    } else {
        // The server's refusal is the answer the mail client gets to its PASS.
        m_pClient->Send(m_buffer, nLength, 0);
        m_bLoginAnswered = true;
        TellLoginAnswer({m_buffer, std::size_t(nLength)});
    }
    LoginSent();
}

bool CServerSocket::StartTls() {
    std::unique_ptr<IByteStream> pStream =
        m_pTls->pContext->Connect(m_hSocket, *m_strHostName, m_nHostPort);
    if (pStream == nullptr) {
        FailLogin("Cannot connect " + HostAndPort() + " (TLS could not be started)");
        return false;
    }
    SetStream(std::move(pStream));
    return true;
}

void CServerSocket::ArmSetupTimer() {
    m_nSetupTimer = Loop().SetTimer(kSetupLimit, [this] {
        m_nSetupTimer = 0;
        if (m_nTlsStep == TlsStep::StlsAnswer) {
            FailLogin("Cannot connect " + HostAndPort() + " (no answer to STLS)");
        } else {
            FailConnect(sys::kErrTimedOut);
        }
    });
}

void CServerSocket::LoginSent() {
    if (m_nSetupTimer != 0) {
        Loop().KillTimer(m_nSetupTimer);
        m_nSetupTimer = 0;
    }
    m_pCredentials.reset();
    m_bLoginSent = true;
    m_pClient->OnServerLoginSent();
}

void CServerSocket::TellLoginAnswer(std::string_view answer) {
    session_log::LoginAnswered(m_pClient->GetSessionId(), m_pClient->Record(), *m_strHostName,
                               m_nHostPort, m_pTls != nullptr, answer);
}

std::string CServerSocket::HostAndPort() const {
    return *m_strHostName + ":" + std::to_string(m_nHostPort);
}

void CServerSocket::FailConnect(int nError) {
    std::string strServer = "Cannot connect " + HostAndPort();
    std::string strText = SocketErrorText(nError);
    FailLogin(strServer + " (" + InSentence(strText) + ")",
              strServer + " (" + std::to_string(nError) + "): " + strText);
}

void CServerSocket::FailLogin(const std::string& strReason, const std::string& strReport,
                              const std::string& strFingerprint) {
    session_log::LoginFailed(m_pClient->GetSessionId(), m_pClient->Record(), *m_strHostName,
                             m_nHostPort, strReason);
    PostReport(strReport, strFingerprint);
    m_pCredentials.reset();
    Wipe(m_buffer, std::size_t(m_nCount));  // nothing the server sent goes on
    m_nCount = 0;
    m_bLoginSent = true;  // nothing more of the login will go
    if (m_nSetupTimer != 0) {
        Loop().KillTimer(m_nSetupTimer);
        m_nSetupTimer = 0;
    }
    Close();
    m_pClient->RefuseLogin(strReason);
}

int CServerSocket::BuildApopCommand(std::string_view timeStamp, char* pszOut) {
    // The time stamp may take up a whole line.
    char szJoined[RECV_BUFFER_SIZE + kMaxNameLength + 1];
    const char* pszPassword = m_pCredentials->m_szPassword;
    std::size_t nPassword = std::strlen(pszPassword);
    std::memcpy(szJoined, timeStamp.data(), timeStamp.size());
    std::memcpy(szJoined + timeStamp.size(), pszPassword, nPassword + 1);
    CMD5Digest digest(szJoined);
    Wipe(szJoined, timeStamp.size() + nPassword);
    return std::snprintf(pszOut, kApopAreaSize, "APOP %s %s\r\n", m_pCredentials->m_szUser,
                         digest.GetHex());
}

void CServerSocket::OnFailure() {
    EndSession();
}

void CServerSocket::EndSession() {
    Close();
    m_pClient->PostEndNotice();
}
