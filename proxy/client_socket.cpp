#include "client_socket.h"

#include <cstdio>
#include <cstring>
#include <new>

#include "line_relay.h"
#include "memory_ops.h"
#include "pop3_text.h"
#include "server_socket.h"

namespace {

LPARAM NextSessionId() {
    static LPARAM s_nLastId = 0;
    return ++s_nLastId;
}

constexpr char kPasswordPrompt[] = "+OK Password\r\n";

// Only USER, so the client logs in with USER and PASS, which become APOP. No
// SASL mechanism and no STLS: clients would try them, and neither can be
// turned into APOP.
constexpr char kCapabilities[] = "+OK Capability list follows\r\nUSER\r\n.\r\n";
constexpr char kLogInWithUser[] = "-ERR Log in with USER and PASS\r\n";
constexpr char kBye[] = "+OK Bye\r\n";
// A client that sends more than this before USER is not going to log in.
constexpr int kMaxCommandsBeforeUser = 10;

}  // namespace

CClientSocket::CClientSocket(SharedText strHostName, int nHostPort, bool bAnswerCapa,
                             SharedTls pTls)
    : m_nHostPort(nHostPort),
      m_strHostName(std::move(strHostName)),
      m_bAnswerCapa(bAnswerCapa),
      m_nSessionId(NextSessionId()),
      m_tAccepted(std::chrono::steady_clock::now()) {
    // POP3S: the client speaks first, so the link wants to know when the
    // connection is made, not wait for the server's first bytes.
    long lServerEvents = FD_READ | FD_CONNECT | FD_CLOSE;
    if (pTls != nullptr && pTls->nMode == ServerTls::Tls)
        lServerEvents |= FD_WRITE;
    // Its descriptor comes with the connection, at PASS: a mail client that
    // never logs in holds one descriptor, not two.
    m_pServer = new CServerSocket(this, m_strHostName, nHostPort, std::move(pTls));
    m_pServer->AsyncSelect(lServerEvents);
    Pair(*this, *m_pServer);
}

CClientSocket::~CClientSocket() {
    if (m_bEndReserved)
        Loop().ReleasePost();
    Close();
    delete m_pServer;
    explicit_bzero(m_buffer, std::size_t(m_nCount));  // a PASS line may still be held
}

void CClientSocket::ReserveEndNotice() {
    if (!m_bEndReserved) {
        Loop().ReservePost();
        m_bEndReserved = true;
    }
}

bool CClientSocket::IsLoginPending() const {
    return m_nState != Relaying || !m_pServer->IsLoginAnswered();
}

bool CClientSocket::IsRelaying() const {
    return m_nState == Relaying && m_pServer->IsLoginSent() && !m_bEndPosted;
}

int CClientSocket::Receive(void* lpBuf, int nBufLen, int nFlags) {
    int nReceived = CAsyncSocket::Receive(lpBuf, nBufLen, nFlags);
    m_record.CountFromClient(static_cast<const char*>(lpBuf), nReceived);
    return nReceived;
}

void CClientSocket::OnReceive(int nErrorCode) {
    if (m_nState == Relaying && m_pServer->IsLoginSent()) {
        relay::RelayLines(*this, *m_pServer, m_buffer, m_nCount, m_bAfterCR, m_bDropLF, &m_guard);
        EndIfRefused();
        CAsyncSocket::OnReceive(nErrorCode);
        return;
    }
    if (m_nCount == RECV_BUFFER_SIZE) {
        // Only lines held back until the server link has logged in can fill
        // the buffer here; read on once they may go.
        PauseReading();
        return;
    }
    if (relay::ReceiveHeld(*this, m_buffer, m_nCount, m_bDropLF) > 0) {
        ProcessLines();
        if (m_nState != Relaying && m_nCount == RECV_BUFFER_SIZE && !m_bEndPosted) {
            EndAndClose();  // a login line longer than the buffer
        }
    }
    CAsyncSocket::OnReceive(nErrorCode);
}

void CClientSocket::OnClose(int nErrorCode) {
    m_record.Ended(SessionEnd::ClientClosed);
    ForwardAllHeld();
    EndIfRefused();
    if (nErrorCode == 0 && !IsBroken() && IsRelaying() && !m_pServer->HasPeerClosed()) {
        // The mail client has only stopped sending: the server hears that,
        // and its answers still come through until it closes.
        m_pServer->ShutdownSending();
        CAsyncSocket::OnClose(nErrorCode);
        return;
    }
    m_pServer->ForwardAllHeld();
    PostEndNotice();
    Close();
    CAsyncSocket::OnClose(nErrorCode);
}

void CClientSocket::ForwardAllHeld() {
    if (m_nState == Relaying && m_pServer->IsLoginSent()) {
        relay::ForwardAllHeld(*m_pServer, m_buffer, m_nCount, &m_guard);
    }
}

void CClientSocket::ProcessLines() {
    while (m_nState != Relaying) {
        int nLength = int(pop3::LineLength(m_buffer, std::size_t(m_nCount)));
        if (nLength == 0) {
            return;
        }
        std::string_view line(m_buffer, std::size_t(nLength));
        std::string_view command = pop3::CommandWord(line);
        // USER and PASS take their argument after a space; any other byte
        // behind the command word makes the line something else.
        std::string_view rest =
            line.substr(std::size_t(command.data() + command.size() - m_buffer));
        bool bArgumentFollows =
            rest.empty() || rest[0] == ' ' || rest[0] == '\r' || rest[0] == '\n';
        if (m_nState == AwaitUser) {
            if (!pop3::IsCommand(command, "USER") || !bArgumentFollows) {
                if (!AnswerBeforeUser(command)) {
                    return;
                }
                relay::RemoveHeld(m_buffer, m_nCount, nLength);
                continue;
            }
            std::string_view argument;
            pop3::SplitWords(rest, &argument, 1);
            if (!m_pServer->SetUser(argument)) {
                RefuseLogin("user names longer than 255 characters are not supported", "[AUTH]");
                return;
            }
            Send(kPasswordPrompt, sizeof kPasswordPrompt - 1, 0);
            m_nState = AwaitPass;
        } else {
            if (!pop3::IsCommand(command, "PASS") || !bArgumentFollows) {
                // Ending; read nothing more while the notice is on its way.
                PostEndNotice();
                PauseReading();
                return;
            }
            // The password is the rest of the line, spaces and all (RFC 1939).
            std::string_view password = pop3::RestOfLine(line, command);
            if (!m_pServer->SetPassword(password)) {
                RefuseLogin("passwords longer than 255 characters are not supported", "[AUTH]");
                return;
            }
            m_bDropLF = nLength == m_nCount && m_buffer[nLength - 1] == '\r';
            relay::RemoveHeld(m_buffer, m_nCount, nLength);
            m_nState = Relaying;
            // A failure at once has answered the client and ended the session.
            m_pServer->ConnectToServer();
            return;
        }
        relay::RemoveHeld(m_buffer, m_nCount, nLength);
    }
    if (m_pServer->IsLoginSent()) {
        relay::ForwardHeldLines(*m_pServer, m_buffer, m_nCount, m_bAfterCR, &m_guard);
        EndIfRefused();
    }
}

bool CClientSocket::AnswerBeforeUser(std::string_view command) {
    bool bCapa = pop3::IsCommand(command, "CAPA");
    if (!m_bAnswerCapa) {
        if (bCapa) {
            PostCapaRefused();
        }
        EndAndClose();
        return false;
    }
    if (++m_nCommandsBeforeUser > kMaxCommandsBeforeUser) {
        m_record.Ended(SessionEnd::TooManyCommands);
        EndAndClose();
        return false;
    }
    if (pop3::IsCommand(command, "QUIT")) {
        Send(kBye, sizeof kBye - 1, 0);
        EndAndClose();
        return false;
    }
    if (bCapa) {
        Send(kCapabilities, sizeof kCapabilities - 1, 0);
    } else {
        Send(kLogInWithUser, sizeof kLogInWithUser - 1, 0);
    }
    return true;
}

void CClientSocket::PauseReading() {
    // The peer's close is still heard while paused.
    AsyncSelect(FD_CLOSE);
}

void CClientSocket::ResumeReading() {
    AsyncSelect(FD_READ | FD_CLOSE);
}

void CClientSocket::PostEndNotice() {
    if (m_bEndPosted)
        return;
    if (m_bEndReserved) {
        m_bEndReserved = false;
        PostReservedSessionNotify(0, m_nSessionId);
    } else {
        PostSessionNotify(0, m_nSessionId);
    }
    m_bEndPosted = true;
}

void CClientSocket::Shed() {
    m_record.Ended(SessionEnd::Shed);
    PostEndNotice();
    CloseNow();
}

void CClientSocket::EndAndClose() {
    PostEndNotice();
    Close();
}

void CClientSocket::RefuseLogin(const std::string& strReason, const char* pszCode) {
    // Nothing the client sent after PASS will go anywhere.
    explicit_bzero(m_buffer, sizeof m_buffer);
    m_nCount = 0;
    if (!m_bEndPosted) {
        std::string strAnswer = "-ERR " + std::string(pszCode) + " " + strReason + "\r\n";
        Send(strAnswer.data(), int(strAnswer.size()), 0);
    }
    EndAndClose();
}

void CClientSocket::OnServerLoginSent() {
    if (m_bEndPosted)
        return;
    relay::ForwardHeldLines(*m_pServer, m_buffer, m_nCount, m_bAfterCR, &m_guard);
    if (m_guard.bRefused) {
        EndIfRefused();
        return;
    }
    ResumeReading();
}

void CClientSocket::EndIfRefused() {
    // A second PASS (say, after the server refused APOP) would go to the
    // server in clear: end the session instead, so the client is not left waiting.
    if (m_guard.bRefused && !m_bEndPosted) {
        m_record.Ended(SessionEnd::PasswordAfterLogin);
        EndAndClose();
    }
}

void CClientSocket::OnFailure() {
    EndAndClose();
}
