#include "proxy_runner.h"

#include <cctype>

#include "listen_socket.h"
#include "socket_error_text.h"
#include "tls_client.h"

CProxyRunner::CProxyRunner(IRunnerEvents& events) : m_events(events) {}

CProxyRunner::~CProxyRunner() {
    if (g_hMainWnd == this) {
        g_hMainWnd = nullptr;
    }
    delete m_pListenSocket;
}

void CProxyRunner::DropListener() {
    delete m_pListenSocket;  // and with it every open session, without notices
    m_pListenSocket = nullptr;
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
            Stop(strError);
            return false;
        }
        pTls = std::make_shared<const ServerTlsSettings>(
            ServerTlsSettings{ServerTls(nServerTls), std::move(pContext)});
    }
    m_pListenSocket =
        new CListenSocket(config.GetText(setting::kHostName), config.GetInt(setting::kHostPort));
    m_pListenSocket->SetAnswerCapa(config.GetInt(setting::kAnswerCapa) != 0);
    m_pListenSocket->SetServerTls(std::move(pTls));
    m_strProblem.clear();
    // A port that cannot be bound gives no message box: the tip tells it, the
    // program runs on without accepting mail clients, and the next Start tries again.
    m_strNotListening.clear();
    m_nListenError = 0;
    int nLocalPort = config.GetInt(setting::kLocalPort);
    if (!m_pListenSocket->StartListening(static_cast<unsigned>(nLocalPort))) {
        m_nListenError = CAsyncSocket::GetLastError();
        std::string strReason = SocketErrorText(m_nListenError);
        // "Address already in use" reads on after the colon in lower case; a
        // name such as "WSAStartup" keeps its capitals.
        if (strReason.size() > 1 && std::isupper(static_cast<unsigned char>(strReason[0])) &&
            std::islower(static_cast<unsigned char>(strReason[1]))) {
            strReason[0] =
                static_cast<char>(std::tolower(static_cast<unsigned char>(strReason[0])));
        }
        m_strNotListening =
            "Not listening on port " + std::to_string(nLocalPort) + ": " + strReason;
    }
    m_events.OnTipChanged(GetTip());
    g_hMainWnd = this;
    return m_strNotListening.empty();
}

void CProxyRunner::Stop(const std::string& strWhy) {
    DropListener();
    m_nListenError = 0;
    m_strProblem = strWhy;
    m_strNotListening = "Not listening: " + strWhy;
    m_events.OnTipChanged(GetTip());
    g_hMainWnd = this;
}

LRESULT CProxyRunner::OnSessionNotify(WPARAM wParam, LPARAM lParam) {
    if (wParam != 0) {
        // A session of a listener that Start has replaced is gone already.
        if (m_pListenSocket == nullptr || m_pListenSocket->FindSession(lParam) == nullptr ||
            !m_setCounted.insert(lParam).second) {
            return 0;
        }
        if (m_nSessions == 0) {
            m_events.OnActiveChanged(true);
        }
        ++m_nSessions;
    } else {
        if (m_pListenSocket != nullptr) {
            m_pListenSocket->RemoveSession(lParam);
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

void CProxyRunner::OnCapaRefused() {
    if (!m_bCapaHintGiven) {
        m_bCapaHintGiven = true;
        m_events.OnCapaHint();
    }
}

// The tip tells the truth: why nothing is listening, or how many sessions are open.
std::string CProxyRunner::GetTip() const {
    if (!m_strNotListening.empty()) {
        return m_strNotListening;
    }
    if (m_nSessions == 1) {
        return "1 connection";
    }
    if (m_nSessions > 1) {
        return std::to_string(m_nSessions) + " connections";
    }
    return kIdleTip;
}
