#pragma once

#include <cstdint>
#include <string>

// How the proxy talks to the shell that runs it: notices posted to g_hMainWnd,
// delivered by the EventLoop after the posting handler has returned, in the
// order posted, to whatever g_hMainWnd points at by then.
using WPARAM = std::uintptr_t;
using LPARAM = std::intptr_t;
using LRESULT = std::intptr_t;

// wParam 1: a session was opened; wParam 0: a session has ended and is to be
// deleted. lParam: the session's number (CClientSocket::GetSessionId), which is
// never reused, so a late notice cannot end another session.
constexpr unsigned WM_SESSION_NOTIFY = 0x8001;

// The receiver of the proxy's notices and reports.
class CNoticeWnd {
public:
    virtual LRESULT OnSessionNotify(WPARAM wParam, LPARAM lParam) = 0;
    // A failure the user must know of, such as "Cannot connect host:110 (111)".
    // Called from the event loop; must not wait for the user.
    virtual void OnReport(const std::string& strText) = 0;
    // A report of a server whose TLS certificate was not trusted, with that
    // certificate's SHA-256 fingerprint ("AB:CD:..."), so the user may choose
    // to trust it. By default an ordinary report.
    virtual void OnUntrustedCertificate(const std::string& strText, const std::string&) {
        OnReport(strText);
    }
    // A session was closed unanswered because its first command asked for the
    // capabilities (CAPA); the mail client would work with capability queries
    // answered. Called from the event loop, once per such session.
    virtual void OnCapaRefused() {}
    // One line of the session log (session_log.h). Called at once, from inside
    // the proxy's handlers and its session table: it may only record the line.
    virtual void OnSessionLog(const std::string&) {}

protected:
    ~CNoticeWnd() = default;
};

extern CNoticeWnd* g_hMainWnd;

// Posts WM_SESSION_NOTIFY to g_hMainWnd; the second into room reserved
// beforehand (EventLoop::ReservePost), so it cannot fail.
void PostSessionNotify(WPARAM wParam, LPARAM lParam);
void PostReservedSessionNotify(WPARAM wParam, LPARAM lParam) noexcept;

// Hands a report to g_hMainWnd after the current handler has returned; with a
// fingerprint, as a report of an untrusted certificate.
void PostReport(std::string strText, std::string strFingerprint = {});

// Tells g_hMainWnd, after the current handler has returned, that a capability
// query was refused.
void PostCapaRefused();
