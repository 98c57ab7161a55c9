#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "async_socket.h"
#include "line_relay.h"
#include "notice.h"
#include "session_log.h"
#include "tls_client.h"

class CServerSocket;

// Each session and each server link keeps what it has received but not yet
// handled in one fixed buffer of this size.
constexpr int RECV_BUFFER_SIZE = 2048;

// Text that every session of a listener shares, such as the server's host
// name: one copy however many sessions, and no allocation per session.
using SharedText = std::shared_ptr<const std::string>;

enum SessionState : std::int32_t {
    AwaitUser = 1,
    AwaitPass = 2,
    Relaying = 3,
};

// One mail-client connection. It answers USER itself, hands name and password
// to its server link and starts the link's connection at PASS, and from then on
// passes every line of the mail client to the server. It never deletes itself:
// it posts WM_SESSION_NOTIFY with wParam 0 and the listener deletes it.
// With bAnswerCapa, commands before USER are answered (CAPA with a list naming
// USER only) instead of ending the session.
class CClientSocket : public CAsyncSocket {
public:
    CClientSocket(SharedText strHostName, int nHostPort, bool bAnswerCapa = false,
                  SharedTls pTls = nullptr);
    ~CClientSocket() override;

    int Receive(void* lpBuf, int nBufLen, int nFlags = 0) override;
    void OnReceive(int nErrorCode) override;
    void OnClose(int nErrorCode) override;
    void OnFailure() override;

    // The session ends: what is held, partial line included, goes on.
    void ForwardAllHeld();
    void ProcessLines();

    // The number that identifies this session in its notices; never reused.
    LPARAM GetSessionId() const { return m_nSessionId; }
    CServerSocket* GetServer() const { return m_pServer; }
    SessionState GetState() const { return m_nState; }
    // True once the session passes lines both ways, until it ends.
    bool IsRelaying() const;
    // True until the server has answered the APOP command.
    bool IsLoginPending() const;
    std::chrono::steady_clock::time_point GetAcceptTime() const { return m_tAccepted; }
    // What the session log tells of this session.
    SessionRecord& Record() { return m_record; }

    // Keeps room for the end notice, so that it cannot be lost when memory
    // runs out later; throws when there is no memory now.
    void ReserveEndNotice();
    // Posts the end notice; a session posts it once, however it ends.
    void PostEndNotice();
    bool HasEnded() const { return m_bEndPosted; }
    // Ends the session and gives up its connection at once, unsent bytes and
    // all, so that its descriptor is free for another.
    void Shed();
    // Ends the session: the notice, then the mail client's connection is closed.
    void EndAndClose();
    // The server link has sent APOP: lines the mail client sent meanwhile may go.
    void OnServerLoginSent();
    // The login cannot be made: the mail client gets "-ERR [SYS/TEMP] " and the
    // reason as the answer to its PASS (or pszCode's code), and the session ends.
    void RefuseLogin(const std::string& strReason, const char* pszCode = "[SYS/TEMP]");

private:
    void PauseReading();
    void ResumeReading();
    // A line before USER whose first word is command; false when it ended the session.
    bool AnswerBeforeUser(std::string_view command);
    // Ends the session when the relay has refused a PASS or AUTH line.
    void EndIfRefused();

    // Small fields first, so that none leaves a gap: a relayed session is
    // mostly its two fixed buffers, and idle sessions are held by the thousand.
    int m_nHostPort;
    SessionState m_nState = AwaitUser;
    SharedText m_strHostName;
    CServerSocket* m_pServer = nullptr;
    int m_nCount = 0;
    bool m_bEndPosted = false;
    bool m_bEndReserved = false;
    bool m_bAfterCR = false;
    bool m_bDropLF = false;  // the PASS line's CR came last; its LF may follow
    bool m_bAnswerCapa;
    std::uint8_t m_nCommandsBeforeUser = 0;
    relay::LineGuard m_guard;
    LPARAM m_nSessionId;
    std::chrono::steady_clock::time_point m_tAccepted;
    SessionRecord m_record;
    char m_buffer[RECV_BUFFER_SIZE];
};
