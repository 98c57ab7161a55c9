// The settings store in the registry, as the Windows profile functions keep it:
// HKEY_CURRENT_USER\Software\quill\Postern\<name>\<section>, numbers as REG_DWORD,
// text as REG_SZ.

#include <windows.h>

#include "settings_store.h"
#include "utf16.h"

namespace {

constexpr char kRegistryKey[] = "Software\\quill\\Postern\\";

// One registry key, open for one call.
class CRegKey {
public:
    CRegKey(const std::string& strPath, bool bCreate) {
        std::wstring strWide = Widen(strPath);
        LSTATUS nStatus =
            bCreate ? RegCreateKeyExW(HKEY_CURRENT_USER, strWide.c_str(), 0, nullptr, 0,
                                      KEY_READ | KEY_WRITE, nullptr, &m_hKey, nullptr)
                    : RegOpenKeyExW(HKEY_CURRENT_USER, strWide.c_str(), 0, KEY_READ, &m_hKey);
        if (nStatus != ERROR_SUCCESS)
            m_hKey = nullptr;
    }
    ~CRegKey() {
        if (m_hKey != nullptr)
            RegCloseKey(m_hKey);
    }
    CRegKey(const CRegKey&) = delete;
    CRegKey& operator=(const CRegKey&) = delete;

    // The value's type and bytes; false when there is none.
    bool Query(const std::string& strName, DWORD& nType, std::string& data) const {
        if (m_hKey == nullptr)
            return false;
        std::wstring strWide = Widen(strName);
        DWORD nSize = 0;
        if (RegQueryValueExW(m_hKey, strWide.c_str(), nullptr, &nType, nullptr, &nSize) !=
            ERROR_SUCCESS)
            return false;
        data.assign(nSize, '\0');
        return RegQueryValueExW(m_hKey, strWide.c_str(), nullptr, &nType,
                                reinterpret_cast<BYTE*>(data.data()), &nSize) == ERROR_SUCCESS &&
               (data.resize(nSize), true);
    }

    bool Set(const std::string& strName, DWORD nType, const void* pData, DWORD nSize) {
        return m_hKey != nullptr &&
               RegSetValueExW(m_hKey, Widen(strName).c_str(), 0, nType,
                              static_cast<const BYTE*>(pData), nSize) == ERROR_SUCCESS;
    }

private:
    HKEY m_hKey = nullptr;
};

std::string TextOf(const std::string& data) {
    std::wstring strWide(data.size() / sizeof(wchar_t), L'\0');
    data.copy(reinterpret_cast<char*>(strWide.data()), strWide.size() * sizeof(wchar_t));
    while (!strWide.empty() && strWide.back() == L'\0') strWide.pop_back();
    return Narrow(strWide);
}

}  // namespace

CSettingsStore::CSettingsStore(const std::string& strApplicationName)
    : m_strApplicationName(strApplicationName),
      m_strLocation("HKEY_CURRENT_USER\\" + std::string(kRegistryKey) + strApplicationName) {}

int CSettingsStore::GetStoredInt(const std::string& strSection, const std::string& strEntry,
                                 int nDefault) const {
    CRegKey key(kRegistryKey + m_strApplicationName + "\\" + strSection, false);
    DWORD nType = 0;
    std::string data;
    if (!key.Query(strEntry, nType, data))
        return nDefault;
    if (nType == REG_DWORD && data.size() == sizeof(DWORD)) {
        DWORD nValue = 0;
        data.copy(reinterpret_cast<char*>(&nValue), sizeof nValue);
        return int(nValue);
    }
    // A number someone typed in as text reads as atoi reads it.
    if (nType == REG_SZ || nType == REG_EXPAND_SZ)
        return Atoi(TextOf(data));
    return nDefault;
}

std::string CSettingsStore::GetStoredString(const std::string& strSection,
                                            const std::string& strEntry,
                                            const std::string& strDefault) const {
    CRegKey key(kRegistryKey + m_strApplicationName + "\\" + strSection, false);
    DWORD nType = 0;
    std::string data;
    if (!key.Query(strEntry, nType, data) || (nType != REG_SZ && nType != REG_EXPAND_SZ))
        return strDefault;
    return TextOf(data);
}

bool CSettingsStore::WriteStoredInt(const std::string& strSection, const std::string& strEntry,
                                    int nValue) {
    CRegKey key(kRegistryKey + m_strApplicationName + "\\" + strSection, true);
    DWORD nDword = DWORD(nValue);
    return key.Set(strEntry, REG_DWORD, &nDword, sizeof nDword);
}

bool CSettingsStore::WriteStoredString(const std::string& strSection, const std::string& strEntry,
                                       const std::string& strValue) {
    CRegKey key(kRegistryKey + m_strApplicationName + "\\" + strSection, true);
    std::wstring strWide = Widen(strValue);
    return key.Set(strEntry, REG_SZ, strWide.c_str(),
                   DWORD((strWide.size() + 1) * sizeof(wchar_t)));
}
