#include "proxy_config.h"

#include <cassert>
#include <climits>
#include <utility>

const std::string& SettingValues::Get(const SettingKey& key) const {
    static const std::string strNone;
    const std::optional<std::string>& value = m_values[IndexOf(key)];
    return value ? *value : strNone;
}

std::size_t SettingValues::IndexOf(const SettingKey& key) {
    std::size_t i = 0;
    while (i + 1 < std::size(setting::kAll) && setting::kAll[i] != &key) {
        ++i;
    }
    assert(setting::kAll[i] == &key);  // a row left out of kAll
    return i;
}

SettingValues SettingValues::Read(const CSettingsStore& store) {
    SettingValues values;
    for (const SettingKey* pKey : setting::kAll) {
        values.Set(*pKey, store.Read(*pKey));
    }
    return values;
}

bool SettingValues::Write(CSettingsStore& store) const {
    bool bWritten = true;
    for (const SettingKey* pKey : setting::kAll) {
        if (Has(*pKey)) {
            bWritten = store.Write(*pKey, Get(*pKey)) && bWritten;
        }
    }
    return bWritten;
}

std::string SettingProblem::Describe() const {
    if (pKey->nType == SettingKey::Text) {
        return "no " + std::string(pKey->pszLabel) + " given";
    }
    return std::string(pKey->pszLabel) + " '" + strValue + "' is not " + pKey->pszRange;
}

namespace {

// What a setting reads as when nothing gives it.
std::string DefaultOf(const SettingKey& key) {
    return key.nType == SettingKey::Int ? std::to_string(key.nDefault) : std::string();
}

}  // namespace

bool PassesCheck(const SettingKey& key, const std::string& strValue) {
    if (key.nType == SettingKey::Text) {
        return !(key.bRequired && strValue.empty());
    }
    // Not atoi's reading alone: "1110x" typed into a form is a typing error.
    int nValue = Atoi(strValue);
    return IsWholeNumber(strValue) && nValue >= key.nMin && nValue <= key.nMax;
}

std::optional<CProxyConfig> CProxyConfig::Load(const SettingValues& given,
                                               const CSettingsStore* pStore,
                                               SettingProblem& problem) {
    CProxyConfig config;
    for (const SettingKey* pKey : setting::kAll) {
        const bool bStored = !given.Has(*pKey);
        std::string strValue = !bStored            ? given.Get(*pKey)
                               : pStore != nullptr ? pStore->Read(*pKey)
                                                   : DefaultOf(*pKey);
        if (!PassesCheck(*pKey, strValue)) {
            problem = {pKey, std::move(strValue), bStored};
            return std::nullopt;
        }
        config.m_values.Set(*pKey, std::move(strValue));
    }
    // POP3S has a port of its own; one given or stored still wins.
    constexpr int kAbsent = INT_MIN;
    if (config.GetInt(setting::kServerTls) == 2 && !given.Has(setting::kHostPort) &&
        (pStore == nullptr ||
         pStore->GetProfileInt(setting::kHostPort.pszSection, setting::kHostPort.pszEntry,
                               kAbsent) == kAbsent)) {
        config.m_values.Set(setting::kHostPort, std::to_string(setting::kTlsPort));
    }
    return config;
}
