#include "config_logic.h"

#include <cctype>
#include <ctime>
#include <utility>

#include "tls_client.h"

CConfigLogic::CConfigLogic(IConfigShell& shell, CSettingsStore store)
    : m_shell(shell), m_store(std::move(store)), m_runner(*this) {}

void CConfigLogic::OnInitDialog() {
    LoadSettings();
    StartListener();
    if (!HasServer()) {
        m_shell.ShowDialog();
    }
}

void CConfigLogic::LoadSettings() {
    m_fields = SettingValues::Read(m_store);
    m_shell.WriteFields(m_fields);
}

void CConfigLogic::SaveSettings() {
    m_fields.Write(m_store);
    m_bDirty = false;
}

// The settings as the form holds them go through the same checks as
// posternd's: without a server, or with a stored port that is no port,
// nothing listens, and the tip says why.
void CConfigLogic::StartListener() {
    SettingProblem problem;
    if (std::optional<CProxyConfig> config = CProxyConfig::Load(m_fields, nullptr, problem)) {
        m_runner.Start(*config);
    } else {
        m_runner.Stop(problem);
    }
}

bool CConfigLogic::Apply() {
    // What the form has no control for (the TLS trust, say) stays as it is.
    SettingValues typed = m_fields;
    m_shell.ReadFields(typed);
    for (const SettingKey* pKey : setting::kAll) {
        const std::string& strValue = typed.Get(*pKey);
        // An empty server is taken: it stops the proxy, and the tip says so.
        bool bUnset = pKey->nType == SettingKey::Text && strValue.empty();
        if (!bUnset && !PassesCheck(*pKey, strValue)) {
            std::string strText = SettingProblem{pKey, strValue}.Describe() + ".";
            strText[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(strText[0])));
            m_shell.Ask(strText, IConfigShell::Question::Ok);
            return false;
        }
    }
    m_fields = std::move(typed);
    StartListener();
    SaveSettings();
    return true;
}

void CConfigLogic::OnApply() {
    Apply();
}

// False when Yes was answered and a field failed its check: the form stays as
// typed, and the dialog stays where the user can mend it.
bool CConfigLogic::PromptApplyChanges() {
    if (!m_bDirty) {
        return true;
    }
    if (m_shell.Ask(kApplyQuestion, IConfigShell::Question::YesNo)) {
        return Apply();
    }
    LoadSettings();
    return true;
}

void CConfigLogic::OnCloseButton() {
    if (PromptApplyChanges()) {
        m_shell.HideDialog();
    }
}

bool CConfigLogic::OnQuit() {
    if (!m_shell.Ask(kQuitQuestion, IConfigShell::Question::OkCancel)) {
        return false;
    }
    if (!PromptApplyChanges()) {
        m_shell.ShowDialog();  // asked from the tray, it may be hidden
        return false;
    }
    m_shell.ReadFields(m_fields);
    m_shell.EndDialog();
    return true;
}

void CConfigLogic::UpdateTrayIcon(bool bActive) {
    using TrayIcon = IConfigShell::TrayIcon;
    m_bNotListeningShown = !m_runner.IsListening();
    m_shell.SetTrayIcon(m_bNotListeningShown ? TrayIcon::NotListening
                        : bActive            ? TrayIcon::Active
                                             : TrayIcon::Idle);
}

void CConfigLogic::OnTipChanged(const std::string& strTip) {
    // Start and Stop tell the tip, not the icon: the red mark follows the listener here.
    if (m_bNotListeningShown != !m_runner.IsListening()) {
        UpdateTrayIcon(m_runner.GetSessions() > 0);
    }
    m_shell.SetTrayTip(strTip);
}

// One box at a time, however many reports come: a client polling a server
// that is down would otherwise bury the desktop in boxes. The box shows the
// latest report, and how many came since it opened.
void CConfigLogic::OnReport(const std::string& strText) {
    auto now = std::chrono::system_clock::now();
    if (!m_bReportOpen) {
        m_bReportOpen = true;
        m_nReports = 0;
        m_bReportsAlike = true;
        m_strFirstReport = strText;
        m_timeFirstReport = now;
    }
    ++m_nReports;
    m_bReportsAlike = m_bReportsAlike && strText == m_strFirstReport;
    if (m_nReports == 1) {
        m_shell.ShowReport(strText);
        return;
    }
    std::time_t since = std::chrono::system_clock::to_time_t(m_timeFirstReport);
    char szSince[16] = "";
    if (const std::tm* pSince = std::localtime(&since)) {
        std::strftime(szSince, sizeof szSince, "%H:%M", pSince);
    }
    std::string strCount = std::to_string(m_nReports);
    m_shell.ShowReport(strText +
                       (m_bReportsAlike ? " (" + strCount + " times since "
                                        : " (latest of " + strCount + " reports since ") +
                       szSince + ")");
}

void CConfigLogic::OnServerTlsChange() {
    SettingValues form;
    m_shell.ReadFields(form);
    const std::string strPlainPort = std::to_string(setting::kHostPort.nDefault);
    const std::string strTlsPort = std::to_string(setting::kTlsPort);
    bool bTls = form.GetInt(setting::kServerTls) == static_cast<int>(ServerTls::Tls);
    const std::string& strPort = form.Get(setting::kHostPort);
    if (strPort == (bTls ? strPlainPort : strTlsPort)) {
        form.Set(setting::kHostPort, bTls ? strTlsPort : strPlainPort);
        m_shell.WriteFields(form);
    }
    OnFieldChange();
}

bool CConfigLogic::AcceptsOtherComputers(const SettingValues& fields) {
    return !setting::IsLoopbackOnly(fields.Get(setting::kListenAddress));
}

void CConfigLogic::SetAcceptsOtherComputers(SettingValues& fields, bool bAccept) {
    // A bad address gives way to the box, the only control that can mend it.
    const std::string& strAddress = fields.Get(setting::kListenAddress);
    if (bAccept != AcceptsOtherComputers(fields) ||
        !PassesCheck(setting::kListenAddress, strAddress)) {
        fields.Set(setting::kListenAddress, bAccept ? "" : setting::kLocalhost);
    }
}

void CConfigLogic::OnUntrustedCertificate(const std::string& strText,
                                          const std::string& strFingerprint) {
    if (strFingerprint.empty()) {
        OnReport(strText);
        return;
    }
    m_shell.OfferTrust(strText + "\n\n" + kTrustQuestion, strFingerprint);
}

void CConfigLogic::OnTrustCertificate(const std::string& strFingerprint) {
    // Several sessions may have offered the same certificate: one restart is
    // enough, and a second would end the sessions the first one let through.
    if (m_fields.Get(setting::kTlsFingerprint) == strFingerprint) {
        return;
    }
    m_fields.Set(setting::kTlsFingerprint, strFingerprint);
    m_store.Write(setting::kTlsFingerprint, strFingerprint);
    StartListener();
}

void CConfigLogic::OnCapaHint() {
    if (!m_shell.ShowTrayMessage(kCaption, kCapaHint)) {
        OnReport(kCapaHint);  // no icon to show it from
    }
}
