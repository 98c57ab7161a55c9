#include "settings_file.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "setting_keys.h"
#include "settings_store.h"

namespace {

// Far more than any settings file; keeps a file named by mistake, such as
// /dev/zero, from being read for ever.
constexpr std::size_t kMaxFileBytes = 64 * 1024;
constexpr std::size_t kMaxValueLength = 255;

// Names and addresses, where a blank is always a slip of the keyboard.
constexpr const SettingKey* kHostNames[] = {&setting::kHostName};

bool IsBlank(char c) {
    return c == ' ' || (c >= '\t' && c <= '\r');
}

bool IsControl(char c) {
    return static_cast<unsigned char>(c) < 0x20 || c == 0x7F;
}

std::string_view Trim(std::string_view strText) {
    while (!strText.empty() && IsBlank(strText.front())) {
        strText.remove_prefix(1);
    }
    while (!strText.empty() && IsBlank(strText.back())) {
        strText.remove_suffix(1);
    }
    return strText;
}

// Characters, not bytes, of UTF-8 text.
std::size_t CharacterCount(std::string_view strText) {
    std::size_t nCount = 0;
    for (char c : strText) {
        nCount += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    }
    return nCount;
}

void AppendUtf8(std::string& strText, char32_t c) {
    auto put = [&](unsigned nByte) { strText += static_cast<char>(nByte); };
    if (c < 0x80) {
        put(c);
    } else if (c < 0x800) {
        put(0xC0 | c >> 6);
        put(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        put(0xE0 | c >> 12);
        put(0x80 | (c >> 6 & 0x3F));
        put(0x80 | (c & 0x3F));
    } else {
        put(0xF0 | c >> 18);
        put(0x80 | (c >> 12 & 0x3F));
        put(0x80 | (c >> 6 & 0x3F));
        put(0x80 | (c & 0x3F));
    }
}

// Notepad's "Unicode" (after its byte order mark) as UTF-8; false when it is not
// UTF-16 at all.
bool Utf16ToUtf8(std::string_view bytes, bool bBigEndian, std::string& strText) {
    if (bytes.size() % 2 != 0) {
        return false;
    }
    auto unit = [&](std::size_t i) -> char32_t {
        auto nFirst = static_cast<unsigned char>(bytes[i]);
        auto nSecond = static_cast<unsigned char>(bytes[i + 1]);
        return bBigEndian ? nFirst << 8 | nSecond : nSecond << 8 | nFirst;
    };
    for (std::size_t i = 0; i < bytes.size(); i += 2) {
        char32_t c = unit(i);
        if (c >= 0xDC00 && c <= 0xDFFF) {
            return false;
        }
        if (c >= 0xD800 && c <= 0xDBFF) {
            char32_t nLow = i + 2 < bytes.size() ? unit(i + 2) : 0;
            if (nLow < 0xDC00 || nLow > 0xDFFF) {
                return false;
            }
            c = 0x10000 + ((c - 0xD800) << 10) + (nLow - 0xDC00);
            i += 2;
        }
        AppendUtf8(strText, c);
    }
    return true;
}

// The byte order mark a settings file starts with: UTF-8's, which is skipped,
// or UTF-16's, as Notepad saves a file as "Unicode".
enum class ByteOrderMark { None, Utf8, Utf16LE, Utf16BE };

ByteOrderMark ByteOrderMarkOf(std::string_view bytes) {
    if (bytes.starts_with("\xEF\xBB\xBF")) {
        return ByteOrderMark::Utf8;
    }
    if (bytes.starts_with("\xFF\xFE")) {
        return ByteOrderMark::Utf16LE;
    }
    if (bytes.starts_with("\xFE\xFF")) {
        return ByteOrderMark::Utf16BE;
    }
    return ByteOrderMark::None;
}

const SettingKey* FindSettingKey(std::string_view strSection, std::string_view strEntry) {
    for (const SettingKey* pKey : setting::kAll) {
        if (strSection == pKey->pszSection && strEntry == pKey->pszEntry) {
            return pKey;
        }
    }
    return nullptr;
}

// The value as written after '=' (trimmed) into strValue; what is wrong with
// it, or empty. Double quotes around the whole value are dropped, and what is
// between them is taken as it stands; no escapes, so a Windows path keeps its
// backslashes.
std::string ReadValue(const SettingKey& key, std::string_view strWritten, std::string& strValue) {
    if (strWritten.ends_with('\\')) {
        return "a backslash at the end of the line; a value cannot go on to the next line";
    }
    std::string_view strText = strWritten;
    if (strText.size() >= 2 && strText.front() == '"' && strText.back() == '"') {
        strText = strText.substr(1, strText.size() - 2);
    } else if (std::size_t nMark = strText.find_first_of(";#"); nMark != std::string_view::npos) {
        if (nMark == 0 || IsBlank(strText[nMark - 1])) {
            return "a comment after the value; put comments on lines of their own";
        }
        return std::string("a '") + strText[nMark] +
               "' inside the value; put a value that holds one in double quotes";
    }
    if (strText.find('"') != std::string_view::npos) {
        return "a double quote that does not enclose the whole value";
    }
    for (char c : strText) {
        if (IsControl(c)) {
            return "a control character in the value";
        }
    }
    if (CharacterCount(strText) > kMaxValueLength) {
        return "longer than " + std::to_string(kMaxValueLength) + " characters";
    }
    for (const SettingKey* pHostName : kHostNames) {
        if (&key == pHostName && strText.find(' ') != std::string_view::npos) {
            return "a blank inside a host name";
        }
    }
    if (key.nType == SettingKey::Int && !IsWholeNumber(strText)) {
        return "wants a whole number, not '" + std::string(strText) + "'";
    }
    strValue = strText;
    return {};
}

}  // namespace

CSettingsFile CSettingsFile::Read(const std::string& strPath) {
    CSettingsFile file;
    errno = 0;
    // The path is UTF-8 on every system; Windows wants it in UTF-16.
    std::ifstream input(std::filesystem::path(std::u8string(strPath.begin(), strPath.end())),
                        std::ios::binary);
    std::string bytes(kMaxFileBytes + 1, '\0');
    if (input) {
        input.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    }
    if (!input && !input.eof()) {
        file.m_strError = strPath + ": cannot be read";
        if (errno != 0) {
            file.m_strError += std::string(": ") + std::strerror(errno);
        }
        return file;
    }
    bytes.resize(static_cast<std::size_t>(input.gcount()));
    if (bytes.size() > kMaxFileBytes) {
        file.m_strError = strPath + ": larger than " + std::to_string(kMaxFileBytes / 1024) +
                          " KiB; not a settings file";
        return file;
    }
    return Parse(bytes, strPath);
}

CSettingsFile CSettingsFile::Parse(std::string_view bytes, const std::string& strPath) {
    CSettingsFile file;
    std::string strText;
    ByteOrderMark mark = ByteOrderMarkOf(bytes);
    if (mark == ByteOrderMark::Utf8) {
        strText = bytes.substr(3);
    } else if (mark == ByteOrderMark::None) {
        strText = bytes;
    } else if (!Utf16ToUtf8(bytes.substr(2), mark == ByteOrderMark::Utf16BE, strText)) {
        file.m_strError = strPath + ": not UTF-16 after its UTF-16 byte order mark";
        return file;
    }
    std::string_view text = strText;
    std::string strSection;
    for (int nLine = 1; !text.empty(); ++nLine) {
        std::size_t nEnd = text.find('\n');
        std::string strWhy = file.TakeLine(text.substr(0, nEnd), nLine, strSection);
        if (!strWhy.empty()) {
            file.m_entries.clear();
            file.m_strError = strPath + ":" + std::to_string(nLine) + ": " + strWhy;
            return file;
        }
        text.remove_prefix(nEnd == std::string_view::npos ? text.size() : nEnd + 1);
    }
    return file;
}

std::string CSettingsFile::TakeLine(std::string_view line, int nLine, std::string& strSection) {
    line = Trim(line);
    if (line.empty() || line.front() == ';' || line.front() == '#') {
        return {};
    }
    if (line.front() == '[' && line.back() == ']') {
        strSection = Trim(line.substr(1, line.size() - 2));
        return {};
    }
    std::size_t nEquals = line.find('=');
    if (nEquals == std::string_view::npos || nEquals == 0) {
        return "neither [Section], Key=value nor a comment";
    }
    std::string strEntry(Trim(line.substr(0, nEquals)));
    const SettingKey* pKey = FindSettingKey(strSection, strEntry);
    if (pKey == nullptr) {
        return "unknown setting '" + strEntry + "'" +
               (strSection.empty() ? " above [Settings]" : " in [" + strSection + "]");
    }
    auto [it, bNew] = m_entries.try_emplace({strSection, strEntry});
    if (!bNew) {
        return strEntry + ": given twice (first on line " + std::to_string(it->second.nLine) + ")";
    }
    it->second.nLine = nLine;
    std::string strWhy = ReadValue(*pKey, Trim(line.substr(nEquals + 1)), it->second.strValue);
    return strWhy.empty() ? strWhy : strEntry + ": " + strWhy;
}

const std::string* CSettingsFile::Find(std::string_view strSection,
                                       std::string_view strEntry) const {
    auto it = m_entries.find({std::string(strSection), std::string(strEntry)});
    return it == m_entries.end() ? nullptr : &it->second.strValue;
}
