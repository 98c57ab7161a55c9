// The settings store in the registry, as the Windows profile functions keep it:
// HKEY_CURRENT_USER\Software\quill\Postern\<name>\<section>, numbers as REG_DWORD,
// text as REG_SZ. A settings file named outright is read as INI text.

#include <windows.h>

#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <utility>

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

std::string Trim(const std::string& strText) {
    std::size_t nBegin = strText.find_first_not_of(" \t\r\n");
    if (nBegin == std::string::npos)
        return std::string();
    return strText.substr(nBegin, strText.find_last_not_of(" \t\r\n") - nBegin + 1);
}

// A file's text as UTF-8, whether saved as UTF-8, with or without a byte order
// mark, or as UTF-16 (Notepad's "Unicode").
std::string Utf8Text(std::string bytes) {
    ByteOrderMark mark = ByteOrderMarkOf(bytes);
    if (mark == ByteOrderMark::None)
        return bytes;
    if (mark == ByteOrderMark::Utf8)
        return bytes.substr(3);
    std::wstring strWide;
    for (std::size_t i = 2; i + 1 < bytes.size(); i += 2) {
        auto nFirst = static_cast<unsigned char>(bytes[i]);
        auto nSecond = static_cast<unsigned char>(bytes[i + 1]);
        strWide +=
            wchar_t(mark == ByteOrderMark::Utf16LE ? nFirst | nSecond << 8 : nFirst << 8 | nSecond);
    }
    return Narrow(strWide);
}

// An INI file as [Section] and Key=value lines; a value may be in double quotes.
struct CIniFile {
    std::map<std::pair<std::string, std::string>, std::string> values;
    std::string strError;  // empty when the whole file was read

    explicit CIniFile(const std::string& strPath) {
        std::ifstream input(Widen(strPath).c_str(), std::ios::binary);
        if (!input) {
            strError = "cannot be opened";
            return;
        }
        std::istringstream file(Utf8Text(std::string(std::istreambuf_iterator<char>(input), {})));
        std::string strSection;
        std::string strLine;
        for (int nLine = 1; std::getline(file, strLine); ++nLine) {
            strLine = Trim(strLine);
            if (strLine.empty() || strLine[0] == ';' || strLine[0] == '#')
                continue;
            if (strLine.front() == '[' && strLine.back() == ']') {
                strSection = Trim(strLine.substr(1, strLine.size() - 2));
                continue;
            }
            std::size_t nEquals = strLine.find('=');
            if (nEquals == std::string::npos) {
                strError = "line " + std::to_string(nLine) + " is neither [Section] nor Key=value";
                return;
            }
            std::string strValue = Trim(strLine.substr(nEquals + 1));
            if (strValue.size() >= 2 && strValue.front() == '"' && strValue.back() == '"')
                strValue = strValue.substr(1, strValue.size() - 2);
            values[{strSection, Trim(strLine.substr(0, nEquals))}] = strValue;
        }
    }

    const std::string* Find(const std::string& strSection, const std::string& strEntry) const {
        auto it = values.find({strSection, strEntry});
        return it == values.end() ? nullptr : &it->second;
    }
};

}  // namespace

CSettingsStore::CSettingsStore(const std::string& strApplicationName)
    : m_strApplicationName(strApplicationName),
      m_strLocation("HKEY_CURRENT_USER\\" + std::string(kRegistryKey) + strApplicationName) {}

bool CSettingsStore::CheckFile(std::string& strError) const {
    CIniFile file(m_strLocation);
    if (!file.strError.empty()) {
        strError = m_strLocation + ": " + file.strError;
        return false;
    }
    for (const auto& [key, strValue] : file.values) {
        const auto& [strSection, strEntry] = key;
        const SettingKey* pKnown = FindSettingKey(strSection, strEntry);
        std::string strName = strSection.empty() ? "'" + strEntry + "' above [Settings]"
                                                 : "'" + strEntry + "' in [" + strSection + "]";
        if (pKnown == nullptr) {
            strError = m_strLocation + ": unknown setting " + strName;
            return false;
        }
        if (pKnown->nType == SettingKey::Int && !IsWholeNumber(strValue)) {
            strError =
                m_strLocation + ": " + strName + " wants a whole number, not '" + strValue + "'";
            return false;
        }
    }
    return true;
}

int CSettingsStore::GetProfileInt(const std::string& strSection, const std::string& strEntry,
                                  int nDefault) const {
    if (m_bIniFile) {
        const std::string* pValue = CIniFile(m_strLocation).Find(strSection, strEntry);
        return pValue != nullptr ? Atoi(*pValue) : nDefault;
    }
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

std::string CSettingsStore::GetProfileString(const std::string& strSection,
                                             const std::string& strEntry,
                                             const std::string& strDefault) const {
    if (m_bIniFile) {
        const std::string* pValue = CIniFile(m_strLocation).Find(strSection, strEntry);
        return pValue != nullptr ? *pValue : strDefault;
    }
    CRegKey key(kRegistryKey + m_strApplicationName + "\\" + strSection, false);
    DWORD nType = 0;
    std::string data;
    if (!key.Query(strEntry, nType, data) || (nType != REG_SZ && nType != REG_EXPAND_SZ))
        return strDefault;
    return TextOf(data);
}

bool CSettingsStore::WriteProfileInt(const std::string& strSection, const std::string& strEntry,
                                     int nValue) {
    if (m_bIniFile)
        return false;  // a settings file named outright is only read
    CRegKey key(kRegistryKey + m_strApplicationName + "\\" + strSection, true);
    DWORD nDword = DWORD(nValue);
    return key.Set(strEntry, REG_DWORD, &nDword, sizeof nDword);
}

bool CSettingsStore::WriteProfileString(const std::string& strSection, const std::string& strEntry,
                                        const std::string& strValue) {
    if (m_bIniFile)
        return false;
    CRegKey key(kRegistryKey + m_strApplicationName + "\\" + strSection, true);
    std::wstring strWide = Widen(strValue);
    return key.Set(strEntry, REG_SZ, strWide.c_str(),
                   DWORD((strWide.size() + 1) * sizeof(wchar_t)));
}
