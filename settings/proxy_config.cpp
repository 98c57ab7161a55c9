// On Windows <windows.h>, which the socket layer brings, must come before the
// settings store's header.
// clang-format off
#include "socket_address.h"
#include "proxy_config.h"
// clang-format on

#include <cassert>
#include <climits>
#include <cstring>
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
    if (pKey->nType == SettingKey::Text && strValue.empty()) {
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
        return strValue.empty() ? !key.bRequired
                                : key.pfnCheck == nullptr || key.pfnCheck(strValue);
    }
    // Not atoi's reading alone: "1110x" typed into a form is a typing error.
    int nValue = Atoi(strValue);
    return IsWholeNumber(strValue) && nValue >= key.nMin && nValue <= key.nMax;
}

namespace setting {

// A numeric address, as the socket layer binds it; no host name but localhost,
// which stands for two addresses, since a name's addresses may change.
bool IsListenAddress(std::string_view strAddress) {
    sockaddr_storage address;
    return strAddress == kLocalhost || address::ParseNumeric(std::string(strAddress), address);
}

bool IsLoopbackOnly(std::string_view strAddress) {
    if (strAddress == kLocalhost) {
        return true;
    }
    sockaddr_storage address;
    if (!address::ParseNumeric(std::string(strAddress), address)) {
        return false;
    }
    if (address.ss_family == AF_INET) {
        const auto& ip4 = reinterpret_cast<const sockaddr_in&>(address).sin_addr;
        return reinterpret_cast<const unsigned char*>(&ip4)[0] == 127;  // 127.0.0.0/8
    }
    const auto& ip6 = reinterpret_cast<const sockaddr_in6&>(address).sin6_addr;
    static constexpr unsigned char kLoopback6[16] = {0, 0, 0, 0, 0, 0, 0, 0,
                                                     0, 0, 0, 0, 0, 0, 0, 1};
    return std::memcmp(&ip6, kLoopback6, sizeof kLoopback6) == 0;
}

}  // namespace setting

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
