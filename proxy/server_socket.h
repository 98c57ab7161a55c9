#pragma once

#include <string>
#include <string_view>

#include "async_socket.h"
#include "client_socket.h"

// One session's connection to the POP3 server. It takes the time stamp out of
// the server's greeting, logs in with APOP (RFC 1939) and from then on passes
// every server line to the mail client. The password never leaves the process.
class CServerSocket : public CAsyncSocket {
public:
    static constexpr int kMaxNameLength = 79;
    static constexpr int kApopAreaSize = 256;

    CServerSocket(CClientSocket* pClient, SharedText strHostName, int nHostPort);
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
    bool IsApopSent() const { return m_bApopSent; }
    bool IsLoginAnswered() const { return m_bLoginAnswered; }

private:
    void EndSession();

    char m_szPassword[kMaxNameLength + 1] = {};
    char m_szUser[kMaxNameLength + 1] = {};
    // Small fields together, so that none leaves a gap (see CClientSocket).
    int m_nHostPort;
    int m_nCount = 0;
    SharedText m_strHostName;
    bool m_bAwaitGreeting = true;
    bool m_bApopSent = false;
    bool m_bLoginAnswered = false;
    bool m_bAfterCR = false;
    bool m_bDropLF = false;  // the greeting's CR came last; its LF may follow
    CClientSocket* m_pClient;
    char m_buffer[RECV_BUFFER_SIZE];
};
