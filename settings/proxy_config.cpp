#include "proxy_config.h"

#include <utility>

const std::string& SettingValues::Get(const SettingKey& key) const {
    static const std::string strNone;
    const std::optional<std::string>& value = m_values[IndexOf(key)];
    return value ? *value : strNone;
}

std::size_t SettingValues::IndexOf(const SettingKey& key) {
    std::size_t i = 0;
    while (setting::kAll[i] != &key) {
        ++i;
    }
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

std::optional<CProxyConfig> CProxyConfig::Load(const SettingValues& given,
                                               const CSettingsStore* pStore,
                                               SettingProblem& problem) {
    CProxyConfig config;
    for (const SettingKey* pKey : setting::kAll) {
        const bool bStored = !given.Has(*pKey);
        std::string strValue = !bStored                         ? given.Get(*pKey)
                               : pStore != nullptr              ? pStore->Read(*pKey)
                               : pKey->nType == SettingKey::Int ? std::to_string(pKey->nDefault)
                                                                : std::string();
        const bool bGood = pKey->nType == SettingKey::Text
                               ? !(pKey->bRequired && strValue.empty())
                               : Atoi(strValue) >= pKey->nMin && Atoi(strValue) <= pKey->nMax;
        if (!bGood) {
            problem = {pKey, std::move(strValue), bStored};
            return std::nullopt;
        }
        config.m_values.Set(*pKey, std::move(strValue));
    }
    return config;
}
