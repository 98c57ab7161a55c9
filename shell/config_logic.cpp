#include "config_logic.h"

#include <cctype>
#include <utility>

#include "listen_socket.h"
#include "socket_error_text.h"

CConfigLogic::CConfigLogic(IConfigShell& shell, CSettingsStore store)
    : m_shell(shell), m_store(std::move(store)) {}

CConfigLogic::~CConfigLogic() {
    if (g_hMainWnd == this) {
        g_hMainWnd = nullptr;
    }
    delete m_pListenSocket;
}

void CConfigLogic::OnInitDialog() {
    LoadSettings();
    StartListener();
    m_shell.SetTrayTip(GetTip());
    g_hMainWnd = this;
}

bool CConfigLogic::LoadSettings() {
    m_fields.strLocalPort = m_store.Read(setting::kLocalPort);
    m_fields.strHostPort = m_store.Read(setting::kHostPort);
    m_fields.strHostName = m_store.Read(setting::kHostName);
    m_fields.bAnswerCapa = m_store.ReadInt(setting::kAnswerCapa) != 0;
    m_shell.WriteFields(m_fields);
    return true;
}

bool CConfigLogic::SaveSettings() {
    m_store.Write(setting::kLocalPort, m_fields.strLocalPort);
    m_store.Write(setting::kHostPort, m_fields.strHostPort);
    m_store.Write(setting::kHostName, m_fields.strHostName);
    m_store.Write(setting::kAnswerCapa, m_fields.bAnswerCapa ? "1" : "0");
    m_bDirty = false;
    return true;
}

void CConfigLogic::StartListener() {
    m_pListenSocket = new CListenSocket(m_fields.strHostName, Atoi(m_fields.strHostPort));
    m_pListenSocket->SetAnswerCapa(m_fields.bAnswerCapa);
    // A port that cannot be bound gives no message box: the tray's tip tells it,
    // the program runs on without accepting mail clients, and the next Apply
    // tries again.
    m_strListenError.clear();
    int nLocalPort = Atoi(m_fields.strLocalPort);
    if (!m_pListenSocket->StartListening(static_cast<unsigned>(nLocalPort))) {
        std::string strReason = SocketErrorText(CAsyncSocket::GetLastError());
        if (!strReason.empty()) {
            strReason[0] =
                static_cast<char>(std::tolower(static_cast<unsigned char>(strReason[0])));
        }
        m_strListenError = "Not listening on port " + std::to_string(nLocalPort) + ": " + strReason;
    }
}

void CConfigLogic::OnApply() {
    m_shell.ReadFields(m_fields);
    delete m_pListenSocket;  // and with it every open session, without notices
    m_pListenSocket = nullptr;
    // The count follows the listener: the old one's sessions are all gone.
    m_setCounted.clear();
    if (m_nSessions != 0) {
        m_nSessions = 0;
        m_shell.SetTrayIcon(false);
    }
    StartListener();
    m_shell.SetTrayTip(GetTip());
    SaveSettings();
}

void CConfigLogic::PromptApplyChanges() {
    if (!m_bDirty) {
        return;
    }
    if (m_shell.Ask(kApplyQuestion, IConfigShell::Question::YesNo)) {
        OnApply();
    } else {
        LoadSettings();
    }
}

void CConfigLogic::OnCloseButton() {
    PromptApplyChanges();
    m_shell.HideDialog();
}

bool CConfigLogic::OnQuit() {
    if (!m_shell.Ask(kQuitQuestion, IConfigShell::Question::OkCancel)) {
        return false;
    }
    PromptApplyChanges();
    m_shell.ReadFields(m_fields);
    m_shell.EndDialog();
    return true;
}

LRESULT CConfigLogic::OnSessionNotify(WPARAM wParam, LPARAM lParam) {
    if (wParam != 0) {
        // A session of a listener that Apply has replaced is gone already.
        if (m_pListenSocket == nullptr || m_pListenSocket->FindSession(lParam) == nullptr ||
            !m_setCounted.insert(lParam).second) {
            return 0;
        }
        if (m_nSessions == 0) {
            m_shell.SetTrayIcon(true);
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
            m_shell.SetTrayIcon(false);
        }
    }
    m_shell.SetTrayTip(GetTip());
    return 0;
}

void CConfigLogic::OnReport(const std::string& strText) {
    m_shell.Report(strText);
}

void CConfigLogic::OnCapaRefused() {
    if (m_bCapaHintShown) {
        return;
    }
    m_bCapaHintShown = true;
    if (!m_shell.ShowTrayMessage(kCaption, kCapaHint)) {
        m_shell.Report(kCapaHint);  // no icon to show it from
    }
}

// The tip tells the truth: why nothing is listening, or how many sessions are open.
std::string CConfigLogic::GetTip() const {
    if (!m_strListenError.empty()) {
        return m_strListenError;
    }
    if (m_nSessions == 1) {
        return "1 connection";
    }
    if (m_nSessions > 1) {
        return std::to_string(m_nSessions) + " connections";
    }
    return kIdleTip;
}
