#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

#include "notice.h"
#include "socket_platform.h"

// What an admin reads of each session, so that the journal tells why a user
// cannot log in: one line when it starts, one when the server answers its
// login (or the login cannot be made), one when it ends. The lines go to
// g_hMainWnd's OnSessionLog. They hold the user name and the server's answer,
// never a password, another command's argument or anything of a message.

// Why a session ended. The first cause told is the one that counts: a mail
// client that closes after the server refused its login ended by the refusal.
enum class SessionEnd : std::uint8_t {
    Open,  // no cause told: Postern closed it
    ClientClosed,
    ServerClosed,
    LoginRefused,
    LoginFailed,
    LoginTimeout,
    UserTimeout,
    Shed,
    TooManyCommands,
    PasswordAfterLogin,
    Restart,
    Shutdown,
};

// What the lines of one session need beyond its number and start time.
struct SessionRecord {
    std::uint64_t nFromClient = 0;
    std::uint64_t nFromServer = 0;
    std::string strUser;  // from the connection to the server until its answer is told
    SessionEnd nEnd = SessionEnd::Open;
    bool bLoginStarted = false;
    bool bUserPass = false;  // logged in with USER and PASS inside TLS, not with APOP
    bool bQuitSent = false;
    bool bClientMidLine = false;

    void Ended(SessionEnd nWhy) {
        if (nEnd == SessionEnd::Open)
            nEnd = nWhy;
    }
    // Counts what the mail client sent and notes a QUIT among its lines.
    void CountFromClient(const char* p, int nLength);
    // The login to the server starts now, for the user from USER.
    void StartLogin(std::string_view user);
};

namespace session_log {

void Started(LPARAM nSession, SOCKET hClient);
// The server's answer to the login; a negative one ends the session as refused.
void LoginAnswered(LPARAM nSession, SessionRecord& record, const std::string& strHost, int nPort,
                   bool bTls, std::string_view answer);
// The login could not be made, for that reason.
void LoginFailed(LPARAM nSession, SessionRecord& record, const std::string& strHost, int nPort,
                 std::string_view reason);
void Ended(LPARAM nSession, const SessionRecord& record,
           std::chrono::steady_clock::duration elapsed);

}  // namespace session_log
