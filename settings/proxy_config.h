#pragma once

#include <array>
#include <optional>
#include <string>

#include "setting_keys.h"
#include "settings_store.h"

// Text values for some of the table's settings: what a command line or the
// dialog's form holds. An Int setting's text is read as atoi reads it.
class SettingValues {
public:
    bool Has(const SettingKey& key) const { return m_values[IndexOf(key)].has_value(); }
    // The value; empty when there is none.
    const std::string& Get(const SettingKey& key) const;
    int GetInt(const SettingKey& key) const { return Atoi(Get(key)); }
    void Set(const SettingKey& key, std::string strValue) {
        m_values[IndexOf(key)] = std::move(strValue);
    }

    // Every setting of the store, Int ones written out as read.
    static SettingValues Read(const CSettingsStore& store);
    // Stores every value held.
    bool Write(CSettingsStore& store) const;

private:
    static std::size_t IndexOf(const SettingKey& key);

    std::array<std::optional<std::string>, std::size(setting::kAll)> m_values;
};

// A setting whose value fails the check of its row.
struct SettingProblem {
    const SettingKey* pKey = nullptr;
    std::string strValue;
    bool bStored = false;  // taken from the store, not given

    // Short and for the user: "local port 'abc' is not a port from 1 to
    // 65535", "no POP3 server given", "listen address 'x' is not an IP address
    // (such as 127.0.0.1 or ::1) or localhost".
    std::string Describe() const;
};

// Whether the value passes the check of its row: a required Text setting is
// not empty, one that is not empty passes the row's pfnCheck, an Int one is a
// whole number (blanks around it allowed) within the row's range.
bool PassesCheck(const SettingKey& key, const std::string& strValue);

// What a proxy runs with: every setting of the table, each checked against its
// row. posternd and the tray apps' runner both come by it through Load.
class CProxyConfig {
public:
    // Each setting from given, else from the store (null: the defaults).
    // Empty, with the first bad value in problem, when a check fails.
    static std::optional<CProxyConfig> Load(const SettingValues& given,
                                            const CSettingsStore* pStore, SettingProblem& problem);

    const std::string& GetText(const SettingKey& key) const { return m_values.Get(key); }
    int GetInt(const SettingKey& key) const { return m_values.GetInt(key); }

private:
    SettingValues m_values;
};
