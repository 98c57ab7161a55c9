#include "session_log.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>

#include "pop3_text.h"

namespace {

// What a peer sent, fit for one line of a log: control characters (a CR, an
// LF or an escape sequence that would forge or hide a line) become '?', and
// at most nMax bytes are kept.
std::string Printable(std::string_view text, std::size_t nMax) {
    std::string strOut(text.substr(0, nMax));
    for (char& c : strOut) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
            c = '?';
    }
    if (text.size() > nMax)
        strOut += "...";
    return strOut;
}

// The first line of an answer, without its line end.
std::string_view FirstLine(std::string_view text) {
    return text.substr(0, std::min(text.find_first_of("\r\n"), text.size()));
}

// "127.0.0.1:54321" or "[::1]:54321"; a mapped IPv4 address as IPv4.
std::string PeerText(SOCKET hSocket) {
    sockaddr_storage peer{};
    socklen_t nLength = sizeof peer;
    if (getpeername(hSocket, reinterpret_cast<sockaddr*>(&peer), &nLength) != 0)
        return "at an unknown address";
    if (peer.ss_family == AF_INET6) {
        const auto& peer6 = reinterpret_cast<const sockaddr_in6&>(peer);
        const auto* pBytes = reinterpret_cast<const unsigned char*>(&peer6.sin6_addr);
        constexpr unsigned char kMapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
        if (std::memcmp(pBytes, kMapped, sizeof kMapped) == 0) {
            sockaddr_in peer4{};
            peer4.sin_family = AF_INET;
            peer4.sin_port = peer6.sin6_port;
            std::memcpy(&peer4.sin_addr, pBytes + 12, 4);
            std::memcpy(&peer, &peer4, sizeof peer4);
            nLength = sizeof peer4;
        }
    }
    char szHost[64] = {};
    char szPort[16] = {};
    if (getnameinfo(reinterpret_cast<const sockaddr*>(&peer), nLength, szHost, sizeof szHost,
                    szPort, sizeof szPort, NI_NUMERICHOST | NI_NUMERICSERV) != 0)
        return "at an unknown address";
    std::string strHost = szHost;
    if (peer.ss_family == AF_INET6)
        strHost = "[" + strHost + "]";
    return strHost + ":" + szPort;
}

const char* EndText(const SessionRecord& record) {
    SessionEnd nEnd = record.nEnd;
    if (record.bQuitSent && (nEnd == SessionEnd::Open || nEnd == SessionEnd::ClientClosed ||
                             nEnd == SessionEnd::ServerClosed))
        return "client quit";
    switch (nEnd) {
        case SessionEnd::Open:
            return record.bLoginStarted ? "closed by Postern"
                                        : "closed by Postern: not a USER and PASS login";
        case SessionEnd::ClientClosed:
            return "client closed";
        case SessionEnd::ServerClosed:
            return "server closed";
        case SessionEnd::LoginRefused:
            return "login refused by the server";
        case SessionEnd::LoginFailed:
            return "login failed";
        case SessionEnd::LoginTimeout:
            return "no login in time";
        case SessionEnd::UserTimeout:
            return "no USER in time";
        case SessionEnd::Shed:
            return "closed to make room, out of descriptors";
        case SessionEnd::TooManyCommands:
            return "too many commands before USER";
        case SessionEnd::PasswordAfterLogin:
            return "PASS or AUTH after the login, not passed on";
        case SessionEnd::Restart:
            return "listener restarted";
        case SessionEnd::Shutdown:
            return "shutdown";
    }
    return "closed by Postern";
}

std::string SessionPrefix(LPARAM nSession) {
    std::string strPrefix = "session ";
    strPrefix += std::to_string(nSession);
    return strPrefix;
}

std::string LoginPrefix(LPARAM nSession, const SessionRecord& record, const std::string& strHost,
                        int nPort) {
    std::string strLine = SessionPrefix(nSession);
    strLine += ": login of \"";
    strLine += Printable(record.strUser, 255);
    strLine += "\" at ";
    strLine += strHost;
    strLine += ':';
    strLine += std::to_string(nPort);
    return strLine;
}

// Hands the line to the shell. A line that cannot be built for want of
// memory is left out: the session and the process go on without it.
template <typename BuildLine>
void Write(BuildLine buildLine) {
    if (g_hMainWnd == nullptr)
        return;
    try {
        g_hMainWnd->OnSessionLog(buildLine());
    } catch (const std::bad_alloc&) {
    }
}

}  // namespace

void SessionRecord::CountFromClient(const char* p, int nLength) {
    if (nLength <= 0)
        return;
    nFromClient += std::uint64_t(nLength);
    std::string_view rest(p, std::size_t(nLength));
    while (!rest.empty()) {
        std::size_t nEnd = rest.find_first_of("\r\n");
        if (!bClientMidLine && pop3::IsCommand(pop3::CommandWord(rest.substr(0, nEnd)), "QUIT"))
            bQuitSent = true;
        bClientMidLine = nEnd == std::string_view::npos;
        if (bClientMidLine)
            return;
        rest.remove_prefix(nEnd + 1);
    }
}

void SessionRecord::StartLogin(std::string_view user) {
    bLoginStarted = true;
    try {
        strUser = user;
    } catch (const std::bad_alloc&) {
    }
}

namespace session_log {

void Started(LPARAM nSession, SOCKET hClient) {
    Write([&] { return SessionPrefix(nSession) + " started: mail client " + PeerText(hClient); });
}

void LoginAnswered(LPARAM nSession, SessionRecord& record, const std::string& strHost, int nPort,
                   bool bTls, std::string_view answer) {
    if (answer.substr(0, 3) != "+OK")
        record.Ended(SessionEnd::LoginRefused);
    Write([&] {
        std::string strLine = LoginPrefix(nSession, record, strHost, nPort);
        strLine += record.bUserPass ? " with USER/PASS" : " with APOP";
        strLine += bTls ? " over TLS: " : ": ";
        strLine += Printable(FirstLine(answer), 200);
        return strLine;
    });
    std::string().swap(record.strUser);
}

void LoginFailed(LPARAM nSession, SessionRecord& record, const std::string& strHost, int nPort,
                 std::string_view reason) {
    record.Ended(SessionEnd::LoginFailed);
    Write([&] {
        return LoginPrefix(nSession, record, strHost, nPort) + " failed: " + Printable(reason, 400);
    });
    std::string().swap(record.strUser);
}

void Ended(LPARAM nSession, const SessionRecord& record,
           std::chrono::steady_clock::duration elapsed) {
    Write([&] {
        char szCounts[256];
        std::snprintf(szCounts, sizeof szCounts,
                      " after %.2f s: %s; %llu bytes from the client, %llu from the server",
                      std::chrono::duration<double>(elapsed).count(), EndText(record),
                      static_cast<unsigned long long>(record.nFromClient),
                      static_cast<unsigned long long>(record.nFromServer));
        return SessionPrefix(nSession) + " ended" + szCounts;
    });
}

}  // namespace session_log
