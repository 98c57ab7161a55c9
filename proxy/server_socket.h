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
    // RFC 1939 puts no limit on them; 255 covers every real one.
    static constexpr int kMaxNameLength = 255;
    // The command areas: APOP, USER or PASS with a name of kMaxNameLength.
    static constexpr int kApopAreaSize = 2 * kMaxNameLength + 2;
    // How long the server may take to accept the connection, greet, answer
    // STLS and finish the TLS handshake, while the mail client waits.
    static constexpr std::chrono::milliseconds kSetupLimit = std::chrono::seconds(30);

    CServerSocket(CClientSocket* pClient, SharedText strHostName, int nHostPort,
                  SharedTls pTls = nullptr);
    ~CServerSocket() override;

    // False when the text is longer than kMaxNameLength; nothing is cut.
    bool SetUser(std::string_view user);
    bool SetPassword(std::string_view password);
    // Connects to the server, bounded by kSetupLimit; a failure at once is
    // answered to the mail client and reported. False when the session ends.
    bool ConnectToServer();

    int Receive(void* lpBuf, int nBufLen, int nFlags = 0) override;
    void OnReceive(int nErrorCode) override;
    void OnConnect(int nErrorCode) override;
    void OnClose(int nErrorCode) override;
    void OnFailure() override;

    void ProcessLines();
    // The session ends: what is held, partial line included, goes on.
    void ForwardAllHeld();
    void OnGreeting(int nLength);
    // Writes "APOP user digest\r\n" into pszOut (kApopAreaSize bytes) and
    // returns its length.
    int BuildApopCommand(std::string_view timeStamp, char* pszOut);

    // The name from USER, until the login has gone out.
    const char* GetUser() const { return m_pCredentials ? m_pCredentials->m_szUser : ""; }
    // True once APOP (or, over TLS, PASS) has gone out, or the server has refused USER.
    bool IsLoginSent() const { return m_bLoginSent; }
    bool IsLoginAnswered() const { return m_bLoginAnswered; }

private:
    // Where the login stands after the greeting, over TLS.
    enum class TlsStep : std::uint8_t { None, StlsAnswer, UserAnswer };

    // The name and password, held only until the login has gone out, so an
    // idle session keeps neither (and stays small).
    struct Credentials {
        char m_szUser[kMaxNameLength + 1] = {};
        char m_szPassword[kMaxNameLength + 1] = {};
        ~Credentials();
    };

    void OnStlsAnswer(int nLength);
    void OnUserAnswer(int nLength);
    bool StartTls();
    void ArmSetupTimer();
    void SendUser();
    void LoginSent();
    void TellLoginAnswer(std::string_view answer);
    // The login cannot be made: the user gets the report, the mail client
    // the reason as the answer to its PASS, and the session ends. Nothing of
    // the password goes anywhere.
    void FailLogin(const std::string& strReason, const std::string& strReport,
                   const std::string& strFingerprint = {});
    void FailLogin(const std::string& strReason) { FailLogin(strReason, strReason); }
    void FailConnect(int nError);
    // "mail.example.org:110", as reports name the server.
    std::string HostAndPort() const;
    void EndSession();

    std::unique_ptr<Credentials> m_pCredentials;
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
    SharedTls m_pTls;                      // null: a plain connection
    std::string m_strPendingLogin;         // the APOP command while STLS is under way
    EventLoop::TimerId m_nSetupTimer = 0;  // the server must not keep the mail client waiting
    char m_buffer[RECV_BUFFER_SIZE];
};
