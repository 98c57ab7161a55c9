#include "settings_store.h"

#include <climits>
#include <cstring>

namespace {

bool IsCSpace(char c) {
    // The C locale's white space only: a Unicode space is not skipped by atoi either.
    return c == ' ' || (c >= '\t' && c <= '\r');
}

}  // namespace

int Atoi(std::string_view strText) {
    std::size_t i = 0;
    const std::size_t nLength = strText.size();
    while (i < nLength && IsCSpace(strText[i])) {
        ++i;
    }
    bool bNegative = false;
    if (i < nLength && (strText[i] == '+' || strText[i] == '-')) {
        bNegative = strText[i] == '-';
        ++i;
    }
    long long nValue = 0;
    for (; i < nLength && strText[i] >= '0' && strText[i] <= '9'; ++i) {
        nValue = nValue * 10 + (strText[i] - '0');
        if (nValue > static_cast<long long>(INT_MAX) + 1) {
            nValue = static_cast<long long>(INT_MAX) + 1;
        }
    }
    if (bNegative) {
        return static_cast<int>(-nValue < INT_MIN ? INT_MIN : -nValue);
    }
    return static_cast<int>(nValue > INT_MAX ? INT_MAX : nValue);
}

bool IsWholeNumber(std::string_view strText) {
    std::size_t nBegin = 0;
    std::size_t nEnd = strText.size();
    while (nBegin < nEnd && IsCSpace(strText[nBegin])) {
        ++nBegin;
    }
    while (nEnd > nBegin && IsCSpace(strText[nEnd - 1])) {
        --nEnd;
    }
    std::string_view strNumber = strText.substr(nBegin, nEnd - nBegin);
    std::size_t nSign = !strNumber.empty() && (strNumber[0] == '-' || strNumber[0] == '+') ? 1 : 0;
    if (strNumber.size() <= nSign) {
        return false;
    }
    long long nValue = 0;
    for (std::size_t i = nSign; i < strNumber.size(); ++i) {
        if (strNumber[i] < '0' || strNumber[i] > '9') {
            return false;
        }
        nValue = nValue * 10 + (strNumber[i] - '0');
        if (nValue > static_cast<long long>(INT_MAX) + 1) {
            return false;
        }
    }
    return strNumber[0] == '-' || nValue <= INT_MAX;
}

std::string CSettingsStore::ApplicationNameOf(std::string_view strProgramPath) {
    std::size_t nSlash = strProgramPath.find_last_of("/\\");
    std::string_view strName =
        nSlash == std::string_view::npos ? strProgramPath : strProgramPath.substr(nSlash + 1);
    std::size_t nDot = strName.rfind('.');
    return std::string(nDot == std::string_view::npos ? strName : strName.substr(0, nDot));
}

CSettingsStore CSettingsStore::OpenFile(const std::string& strPath) {
    CSettingsStore store;
    store.m_strApplicationName = ApplicationNameOf(strPath);
    store.m_strLocation = strPath;
    store.m_file = CSettingsFile::Read(strPath);
    return store;
}

bool CSettingsStore::CheckFile(std::string& strError) const {
    if (m_file && !m_file->GetError().empty()) {
        strError = m_file->GetError();
        return false;
    }
    return true;
}

int CSettingsStore::GetProfileInt(const std::string& strSection, const std::string& strEntry,
                                  int nDefault) const {
    if (m_file) {
        const std::string* pValue = m_file->Find(strSection, strEntry);
        return pValue != nullptr ? Atoi(*pValue) : nDefault;
    }
    return GetStoredInt(strSection, strEntry, nDefault);
}

std::string CSettingsStore::GetProfileString(const std::string& strSection,
                                             const std::string& strEntry,
                                             const std::string& strDefault) const {
    if (m_file) {
        const std::string* pValue = m_file->Find(strSection, strEntry);
        return pValue != nullptr ? *pValue : strDefault;
    }
    return GetStoredString(strSection, strEntry, strDefault);
}

bool CSettingsStore::WriteProfileInt(const std::string& strSection, const std::string& strEntry,
                                     int nValue) {
    return !m_file && WriteStoredInt(strSection, strEntry, nValue);
}

bool CSettingsStore::WriteProfileString(const std::string& strSection, const std::string& strEntry,
                                        const std::string& strValue) {
    return !m_file && WriteStoredString(strSection, strEntry, strValue);
}

std::string CSettingsStore::Read(const SettingKey& key) const {
    if (key.nType == SettingKey::Int) {
        return std::to_string(ReadInt(key));
    }
    return GetProfileString(key.pszSection, key.pszEntry);
}

int CSettingsStore::ReadInt(const SettingKey& key) const {
    if (key.nType == SettingKey::Text) {
        return Atoi(Read(key));
    }
    return GetProfileInt(key.pszSection, key.pszEntry, key.nDefault);
}

bool CSettingsStore::Write(const SettingKey& key, const std::string& strValue) {
    if (key.nType == SettingKey::Int) {
        return WriteProfileInt(key.pszSection, key.pszEntry, Atoi(strValue));
    }
    return WriteProfileString(key.pszSection, key.pszEntry, strValue);
}
