#pragma once

#include <string>
#include <string_view>

#include "async_socket.h"
#include "client_socket.h"
#include "tls_client.h"

// One session's connection to the POP3 server. It takes the time stamp out of
// the server's greeting, logs in with APOP (RFC 1939) and from then on passes
// every server line to the mail client. The password never leaves the process
// in clear: over TLS (from the first byte, or after STLS) a server without
// APOP gets USER and PASS, but only once its certificate has been checked.
class CServerSocket : public CAsyncSocket {
public:
    static constexpr int kMaxNameLength = 79;
    static constexpr int kApopAreaSize = 256;
    // How long the server may take to answer STLS and finish the handshake.
    static constexpr std::chrono::milliseconds kTlsSetupLimit = std::chrono::seconds(30);

    CServerSocket(CClientSocket* pClient, SharedText strHostName, int nHostPort,
                  SharedTls pTls = nullptr);
    ~CServerSocket() override;

    // Both keep at most kMaxNameLength characters.
    void SetUser(std::string_view user);
    void SetPassword(std::string_view password);

    void OnReceive(int nErrorCode) override;
    void OnConnect(int nErrorCode) override;
    void OnClose(int nErrorCode) override;
    void OnFailure() override;

    void ProcessLines();
    // The session ends: what is held, partial line included, goes on.
    void ForwardAllHeld();
    void OnGreeting(int nLength);
    // Writes "APOP user digest\r\n" into pszOut (kApopAreaSize bytes) and
    // returns its length, or 0 when time stamp and password do not fit the area.
    int BuildApopCommand(const char* pszTimeStamp, char* pszOut);

    const char* GetUser() const { return m_szUser; }
    // True once APOP (or, over TLS, PASS) has gone out, or the server has refused USER.
    bool IsLoginSent() const { return m_bLoginSent; }
    bool IsLoginAnswered() const { return m_bLoginAnswered; }

private:
    // Where the login stands after the greeting, over TLS.
    enum class TlsStep : std::uint8_t { None, StlsAnswer, UserAnswer };

    void OnStlsAnswer(int nLength);
    void OnUserAnswer(int nLength);
    bool StartTls();
    void ArmTlsTimer();
    void SendUser();
    void LoginSent();
    // The server link cannot go on: the report, then the session ends.
    void Refuse(const std::string& strReason, const std::string& strFingerprint = {});
    void EndSession();

    char m_szPassword[kMaxNameLength + 1] = {};
    char m_szUser[kMaxNameLength + 1] = {};
    // Small fields together, so that none leaves a gap (see CClientSocket).
    int m_nHostPort;
    int m_nCount = 0;
    SharedText m_strHostName;
    bool m_bAwaitGreeting = true;
    TlsStep m_nTlsStep = TlsStep::None;
    bool m_bLoginSent = false;
    bool m_bLoginAnswered = false;
    bool m_bAfterCR = false;
    bool m_bDropLF = false;  // the greeting's CR came last; its LF may follow
    CClientSocket* m_pClient;
    SharedTls m_pTls;                    // null: a plain connection
    std::string m_strPendingLogin;       // the APOP command while STLS is under way
    EventLoop::TimerId m_nTlsTimer = 0;  // STLS and the handshake must not take for ever
    char m_buffer[RECV_BUFFER_SIZE];
};
