#include "config_logic.h"

#include <utility>

CConfigLogic::CConfigLogic(IConfigShell& shell, CSettingsStore store)
    : m_shell(shell), m_store(std::move(store)), m_runner(*this) {}

void CConfigLogic::OnInitDialog() {
    LoadSettings();
    StartListener();
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
// posternd's: a local port that is no port listens nowhere, and the tip says why.
void CConfigLogic::StartListener() {
    SettingProblem problem;
    if (std::optional<CProxyConfig> config = CProxyConfig::Load(m_fields, nullptr, problem)) {
        m_runner.Start(*config);
    } else {
        m_runner.Stop(problem.Describe());
    }
}

void CConfigLogic::OnApply() {
    m_shell.ReadFields(m_fields);
    StartListener();
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

void CConfigLogic::OnCapaHint() {
    if (!m_shell.ShowTrayMessage(kCaption, kCapaHint)) {
        m_shell.Report(kCapaHint);  // no icon to show it from
    }
}
