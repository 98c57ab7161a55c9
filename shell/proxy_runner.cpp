#include "proxy_runner.h"

#include <string_view>

#include "listen_socket.h"
#include "socket_error_text.h"
#include "tls_client.h"

CProxyRunner::CProxyRunner(IRunnerEvents& events) : m_events(events) {}

CProxyRunner::~CProxyRunner() {
    if (g_hMainWnd == this) {
        g_hMainWnd = nullptr;
    }
    m_listenSockets.clear();
    m_pSessions.reset();
}

CListenSocket* CProxyRunner::GetListener() const {
    return m_listenSockets.empty() ? nullptr : m_listenSockets.front().get();
}

void CProxyRunner::DropListener(SessionEnd nWhy) {
    if (m_pSessions != nullptr) {
        m_pSessions->EndAll(nWhy);  // every open session, without notices
    }
    m_listenSockets.clear();
    m_pSessions.reset();
    // The count follows the listener: the old one's sessions are all gone.
    m_setCounted.clear();
    if (m_nSessions != 0) {
        m_nSessions = 0;
        m_events.OnActiveChanged(false);
    }
}

bool CProxyRunner::Start(const CProxyConfig& config) {
    DropListener();
    SharedTls pTls;
    if (int nServerTls = config.GetInt(setting::kServerTls); nServerTls != 0) {
        // Loaded once for every session: the trust store is not cheap to read.
        std::string strError;
        auto pContext = CTlsClientContext::Make(
            {config.GetText(setting::kTlsTrustFile), config.GetText(setting::kTlsFingerprint)},
            strError);
        if (pContext == nullptr) {
            StopListening("not listening: " + strError, strError);
            return false;
        }
        pTls = std::make_shared<const ServerTlsSettings>(
            ServerTlsSettings{ServerTls(nServerTls), std::move(pContext)});
    }
    m_pSessions = std::make_unique<CSessionTable>(config.GetText(setting::kHostName),
                                                  config.GetInt(setting::kHostPort));
    m_pSessions->SetAnswerCapa(config.GetInt(setting::kAnswerCapa) != 0);
    m_pSessions->SetServerTls(std::move(pTls));
    m_strProblem.clear();
    // A port that cannot be bound gives no message box: the tip tells it, the
    // program runs on without accepting mail clients, and the next Start tries again.
    m_strNotListening.clear();
    m_strListenFailure.clear();
    m_strHostName = config.GetText(setting::kHostName);
    m_nHostPort = config.GetInt(setting::kHostPort);
    m_nLocalPort = config.GetInt(setting::kLocalPort);
    const std::string& strAddress = config.GetText(setting::kListenAddress);
    if (int nError = Listen(strAddress); nError != 0) {
        m_strListenFailure = "on ";
        if (!strAddress.empty())
            m_strListenFailure += strAddress + " ";
        m_strListenFailure += "port " + std::to_string(m_nLocalPort) + ": ";
        m_strListenFailure += InSentence(SocketErrorText(nError));
        m_strNotListening = "not listening " + m_strListenFailure;
    }
    m_events.OnTipChanged(GetTip());
    g_hMainWnd = this;
    return m_strNotListening.empty();
}

namespace {

// Whether this machine has the IPv6 loopback address; without IPv6, or with it
// turned off, it has not, and 127.0.0.1 alone serves localhost.
bool HasIPv6Loopback() {
    CAsyncSocket probe;
    return probe.Create(0, SOCK_STREAM, 0, "::1");
}

}  // namespace

// One listening socket on the local port of the address, or of every
// interface; for localhost one on each loopback address. 0, or the error of
// the one that failed, with no socket listening.
int CProxyRunner::Listen(const std::string& strAddress) {
    std::vector<const char*> addresses{strAddress.empty() ? nullptr : strAddress.c_str()};
    if (strAddress == setting::kLocalhost) {
        addresses = {"127.0.0.1"};
        if (HasIPv6Loopback()) {
            addresses.push_back("::1");
        }
    }
    for (const char* pszAddress : addresses) {
        auto pListenSocket = std::make_unique<CListenSocket>(*m_pSessions);
        if (!pListenSocket->StartListening(static_cast<unsigned>(m_nLocalPort), pszAddress)) {
            int nError = CAsyncSocket::GetLastError();
            m_listenSockets.clear();
            return nError;
        }
        m_listenSockets.push_back(std::move(pListenSocket));
    }
    return 0;
}

void CProxyRunner::Stop(const SettingProblem& problem) {
    StopListening(problem.pKey == &setting::kHostName ? std::string(kNoServerTip)
                                                      : "not listening: " + problem.Describe(),
                  problem.Describe());
}

void CProxyRunner::Shutdown() {
    DropListener(SessionEnd::Shutdown);
}

void CProxyRunner::StopListening(std::string strNotListening, std::string strProblem) {
    DropListener();
    m_strListenFailure.clear();
    m_strProblem = std::move(strProblem);
    m_strNotListening = std::move(strNotListening);
    m_events.OnTipChanged(GetTip());
    g_hMainWnd = this;
}

LRESULT CProxyRunner::OnSessionNotify(WPARAM wParam, LPARAM lParam) {
    if (wParam != 0) {
        // A session of a listener that Start has replaced is gone already.
        if (m_pSessions == nullptr || m_pSessions->FindSession(lParam) == nullptr ||
            !m_setCounted.insert(lParam).second) {
            return 0;
        }
        if (m_nSessions == 0) {
            m_events.OnActiveChanged(true);
        }
        ++m_nSessions;
    } else {
        if (m_pSessions != nullptr) {
            m_pSessions->RemoveSession(lParam);
        }
        if (m_setCounted.erase(lParam) != 0 && m_nSessions > 0) {
            --m_nSessions;
        }
        if (m_nSessions == 0) {
            m_events.OnActiveChanged(false);
        }
    }
    m_events.OnTipChanged(GetTip());
    return 0;
}

void CProxyRunner::OnReport(const std::string& strText) {
    m_events.OnReport(strText);
}

void CProxyRunner::OnUntrustedCertificate(const std::string& strText,
                                          const std::string& strFingerprint) {
    m_events.OnUntrustedCertificate(strText, strFingerprint);
}

void CProxyRunner::OnSessionLog(const std::string& strLine) {
    m_events.OnSessionLog(strLine);
}

void CProxyRunner::OnCapaRefused() {
    if (!m_bCapaHintGiven) {
        m_bCapaHintGiven = true;
        m_events.OnCapaHint();
    }
}

namespace {

// Characters as Windows counts them in a tip: UTF-16 code units.
std::size_t Utf16Length(std::string_view str) {
    std::size_t nLength = 0;
    for (char c : str) {
        auto nByte = static_cast<unsigned char>(c);
        nLength += (nByte & 0xC0) == 0x80 ? 0 : nByte >= 0xF0 ? 2 : 1;
    }
    return nLength;
}

// The text cut to at most nMax characters, the cut marked with an ellipsis,
// never inside a character.
std::string Shortened(std::string_view str, std::size_t nMax) {
    if (Utf16Length(str) <= nMax) {
        return std::string(str);
    }
    constexpr std::string_view kEllipsis = "\u2026";
    std::size_t nEnd = str.size();
    while (nEnd > 0 && Utf16Length(str.substr(0, nEnd)) + 1 > nMax) {
        do {
            --nEnd;
        } while (nEnd > 0 && (static_cast<unsigned char>(str[nEnd]) & 0xC0) == 0x80);
    }
    return std::string(str.substr(0, nEnd)) + std::string(kEllipsis);
}

}  // namespace

std::string CProxyRunner::GetTip() const {
    const std::string strPostern = "Postern: ";
    if (!m_strNotListening.empty()) {
        return Shortened(strPostern + m_strNotListening, kMaxTip);
    }
    std::string strSessions = m_nSessions == 0   ? "no connection"
                              : m_nSessions == 1 ? "1 connection"
                                                 : std::to_string(m_nSessions) + " connections";
    std::string strBefore = strPostern + "port " + std::to_string(m_nLocalPort) + " \u2192 ";
    std::string strAfter = ":";  // not ":" + a temporary, which GCC 12 at -O3 takes for an overlap
    strAfter += std::to_string(m_nHostPort) + ", " + strSessions;
    // A long server name gives way, so that the count stays in sight.
    std::size_t nAround = Utf16Length(strBefore) + Utf16Length(strAfter);
    return strBefore + Shortened(m_strHostName, kMaxTip - nAround) + strAfter;
}
