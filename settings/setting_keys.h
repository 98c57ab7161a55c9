#pragma once

// Every stored setting in one table: where it lives in the store, what it
// holds, and what it reads as when it is absent. The dialog and posternd both
// go through it.
struct SettingKey {
    enum Type { Text, Int };
    const char* pszSection;
    const char* pszEntry;
    Type nType;
    int nDefault;  // for Int; a Text setting defaults to empty
};

namespace setting {

inline constexpr SettingKey kHostName{"Settings", "HostName", SettingKey::Text, 0};
inline constexpr SettingKey kHostPort{"Settings", "HostPort", SettingKey::Int, 110};
inline constexpr SettingKey kLocalPort{"Settings", "LocalPort", SettingKey::Int, 110};
// 1: answer CAPA and other commands a mail client sends before USER.
inline constexpr SettingKey kAnswerCapa{"Settings", "AnswerCapa", SettingKey::Int, 0};

// Every key above: what a settings file may hold.
inline constexpr const SettingKey* kAll[] = {&kHostName, &kHostPort, &kLocalPort, &kAnswerCapa};

}  // namespace setting
