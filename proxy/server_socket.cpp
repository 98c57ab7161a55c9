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

constexpr char kStls[] = "STLS\r\n";

bool IsPositive(const char* p, int nLength) {
    return nLength >= 3 && std::memcmp(p, "+OK", 3) == 0;
}

}  // namespace

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
    if (m_nTlsTimer != 0)
        Loop().KillTimer(m_nTlsTimer);
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
    if (nErrorCode == 0 && m_pTls != nullptr && m_pTls->nMode == ServerTls::Tls) {
        // POP3S: the handshake first; the greeting comes through it.
        StartTls();
    } else if (nErrorCode != 0) {
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
    if (!m_bAwaitGreeting && m_nTlsStep == TlsStep::None) {
        if (relay::RelayLines(*this, *m_pClient, m_buffer, m_nCount, m_bAfterCR, m_bDropLF) > 0) {
            m_bLoginAnswered = m_bLoginSent;
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
    if (const char* pszFailure = GetStreamFailure(); pszFailure != nullptr && !m_bLoginSent) {
        // TLS refused the server (its certificate, say) before any byte of the
        // login went out.
        const CertFingerprint* pRefused = GetStream() ? RefusedCertificate(*GetStream()) : nullptr;
        Refuse(pszFailure, pRefused != nullptr ? FormatFingerprint(*pRefused) : std::string());
        CAsyncSocket::OnClose(nErrorCode);
        return;
    }
    // Whatever either side sent last reaches the other, partial line included.
    ForwardAllHeld();
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
    if (m_pTls == nullptr || nCommand != 0) {
        Wipe(m_szPassword, sizeof m_szPassword);
    }
    if (m_pTls == nullptr && nCommand == 0) {
        // No time stamp, or one too long to use: nothing can be sent.
        EndSession();
        return;
    }
    if (m_pTls != nullptr && m_pTls->nMode == ServerTls::StartTls) {
        // Nothing but STLS before TLS is up; the login waits for it. RFC 2595
        // sends no second greeting, so this greeting's time stamp is the one.
        m_strPendingLogin.assign(szCommand, std::size_t(nCommand));
        Wipe(szCommand, sizeof szCommand);
        Send(kStls, sizeof kStls - 1, 0);
        m_nTlsStep = TlsStep::StlsAnswer;
        ArmTlsTimer();
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
    if (!IsPositive(m_buffer, nLength)) {
        Refuse("the server refused STLS");
        return;
    }
    if (nLength != m_nCount) {
        // Bytes behind the +OK would be taken as coming through TLS.
        Refuse("the server sent more than its answer to STLS");
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
    char szCommand[kApopAreaSize];
    int nLength = std::snprintf(szCommand, sizeof szCommand, "USER %s\r\n", m_szUser);
    Send(szCommand, nLength, 0);
    m_nTlsStep = TlsStep::UserAnswer;
}

void CServerSocket::OnUserAnswer(int nLength) {
    m_nTlsStep = TlsStep::None;
    if (IsPositive(m_buffer, nLength)) {
        char szCommand[kApopAreaSize];
        int nCommand = std::snprintf(szCommand, sizeof szCommand, "PASS %s\r\n", m_szPassword);
        Wipe(m_szPassword, sizeof m_szPassword);
        Send(szCommand, nCommand, 0);
        Wipe(szCommand, sizeof szCommand);
    } else {
        // The server's refusal is the answer the mail client gets to its PASS.
        Wipe(m_szPassword, sizeof m_szPassword);
        m_pClient->Send(m_buffer, nLength, 0);
        m_bLoginAnswered = true;
    }
    LoginSent();
}

bool CServerSocket::StartTls() {
    ArmTlsTimer();
    std::unique_ptr<IByteStream> pStream =
        m_pTls->pContext->Connect(m_hSocket, *m_strHostName, m_nHostPort);
    if (pStream == nullptr) {
        Refuse("TLS could not be started");
        return false;
    }
    SetStream(std::move(pStream));
    return true;
}

void CServerSocket::ArmTlsTimer() {
    if (m_nTlsTimer != 0)
        return;
    m_nTlsTimer = Loop().SetTimer(kTlsSetupLimit, [this] {
        m_nTlsTimer = 0;
        Refuse(m_nTlsStep == TlsStep::StlsAnswer ? "no answer to STLS" : "TLS timed out");
    });
}

void CServerSocket::LoginSent() {
    if (m_nTlsTimer != 0) {
        Loop().KillTimer(m_nTlsTimer);
        m_nTlsTimer = 0;
    }
    m_bLoginSent = true;
    m_pClient->OnServerLoginSent();
}

void CServerSocket::Refuse(const std::string& strReason, const std::string& strFingerprint) {
    char szText[600];
    std::snprintf(szText, sizeof szText, "Cannot connect %s:%d (%s)", m_strHostName->c_str(),
                  m_nHostPort, strReason.c_str());
    PostReport(szText, strFingerprint);
    Wipe(m_szPassword, sizeof m_szPassword);
    Wipe(m_buffer, std::size_t(m_nCount));  // nothing the server sent goes on
    m_nCount = 0;
    EndSession();
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
