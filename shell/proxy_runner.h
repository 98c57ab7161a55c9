#pragma once

#include <memory>
#include <set>
#include <string>
#include <vector>

#include "notice.h"
#include "proxy_config.h"
#include "session_log.h"

class CListenSocket;
class CSessionTable;

// What the runner tells the program around it: the tray apps show it on the
// icon and in boxes, posternd writes it to standard error.
class IRunnerEvents {
public:
    // Whether any session is open; also told again when the count drops to 0.
    virtual void OnActiveChanged(bool bActive) = 0;
    // The tip changed: what the proxy does and how many sessions are open, or
    // why nothing listens.
    virtual void OnTipChanged(const std::string& strTip) = 0;
    // A failure the user must know of; must not wait for the user.
    virtual void OnReport(const std::string& strText) = 0;
    // A mail client was disconnected for asking for capabilities; told once per run.
    virtual void OnCapaHint() = 0;
    // A report of a server whose TLS certificate was not trusted, with that
    // certificate's SHA-256 fingerprint; by default an ordinary report.
    virtual void OnUntrustedCertificate(const std::string& strText, const std::string&) {
        OnReport(strText);
    }
    // A line of the session log: a session started, its login was answered,
    // it ended. The tray apps leave them out.
    virtual void OnSessionLog(const std::string&) {}

protected:
    ~IRunnerEvents() = default;
};

// Runs the proxy for a shell: the listener and its restart, the count of open
// sessions and the tip that tells it, and the receiver of the proxy's notices
// (g_hMainWnd) that deletes ended sessions. The listener is one listening
// socket, or two for localhost (127.0.0.1 and ::1) that share one table of
// sessions, so numbers, the count and limits span both.
class CProxyRunner : public CNoticeWnd {
public:
    // What a tray tip holds at most: Windows' szTip has room for 127 characters.
    static constexpr std::size_t kMaxTip = 127;
    static constexpr char kNoServerTip[] = "No POP3 server set";

    explicit CProxyRunner(IRunnerEvents& events);
    ~CProxyRunner();
    CProxyRunner(const CProxyRunner&) = delete;
    CProxyRunner& operator=(const CProxyRunner&) = delete;

    // Ends every open session with the old listener, without notices, and
    // listens as config says; false when the local port cannot be had on the
    // listen address (the tip tells why, as GetListenFailure does) or TLS to the server cannot be
    // set up (GetProblem tells why). Last, this becomes the receiver of the proxy's notices.
    bool Start(const CProxyConfig& config);
    // As Start, but nothing listens, for the setting that failed its check.
    void Stop(const SettingProblem& problem);
    // Ends every open session before the program ends, each logged as ended by
    // shutdown; nothing listens any more.
    void Shutdown();

    LRESULT OnSessionNotify(WPARAM wParam, LPARAM lParam) override;
    void OnReport(const std::string& strText) override;
    void OnCapaRefused() override;
    void OnSessionLog(const std::string& strLine) override;
    void OnUntrustedCertificate(const std::string& strText,
                                const std::string& strFingerprint) override;

    int GetSessions() const { return m_nSessions; }
    // Where and why the local port could not be had, "on 127.0.0.1 port 110:
    // address already in use"; empty when it was, or Start did not try.
    const std::string& GetListenFailure() const { return m_strListenFailure; }
    // Why Stop was called, or why TLS could not be set up; empty otherwise.
    const std::string& GetProblem() const { return m_strProblem; }
    // The first listening socket (127.0.0.1 of localhost's two); null when none listens.
    CListenSocket* GetListener() const;
    const std::set<LPARAM>& GetCountedSessions() const { return m_setCounted; }
    bool IsListening() const { return m_strNotListening.empty(); }
    // "Postern: port 1110 → mail.example.org:110, 2 connections", or why
    // nothing listens; at most kMaxTip characters.
    std::string GetTip() const;

private:
    void DropListener(SessionEnd nWhy = SessionEnd::Restart);
    int Listen(const std::string& strAddress);
    void StopListening(std::string strNotListening, std::string strProblem);

    IRunnerEvents& m_events;
    // The sessions of the current listener; its sockets go before it.
    std::unique_ptr<CSessionTable> m_pSessions;
    std::vector<std::unique_ptr<CListenSocket>> m_listenSockets;
    int m_nSessions = 0;
    std::string m_strListenFailure;
    // Why the listener is not listening; empty while it is.
    std::string m_strNotListening;
    std::string m_strProblem;
    std::string m_strHostName;
    int m_nHostPort = 0;
    int m_nLocalPort = 0;
    bool m_bCapaHintGiven = false;  // once per run
    // The sessions of the current listener that have been counted, so a
    // session's end is counted once however many notices it posts.
    std::set<LPARAM> m_setCounted;
};
