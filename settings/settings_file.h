#pragma once

#include <map>
#include <string>
#include <string_view>
#include <utility>

// A settings file named outright, such as the system service's posternd.conf:
// [Section] lines, Key=value lines, comments on lines of their own (';' or '#'
// first) and blank lines, in UTF-8 (a byte order mark allowed) or UTF-16.
// Read the same way on every system, and strictly, since a person writes it by
// hand: a line that another INI reader would read differently, such as one that
// ends in a backslash or has a comment after its value, is refused rather than
// guessed at.
class CSettingsFile {
public:
    // The file's values, or why it is refused (GetError).
    static CSettingsFile Read(const std::string& strPath);
    // The same for the file's bytes, already read; strPath names it in messages.
    static CSettingsFile Parse(std::string_view bytes, const std::string& strPath);

    // Empty for a good file, else "FILE:LINE: reason" or "FILE: reason".
    const std::string& GetError() const { return m_strError; }
    // A setting's value; null when the file leaves it out or is refused.
    const std::string* Find(std::string_view strSection, std::string_view strEntry) const;

private:
    // Takes one line; what is wrong with it, or empty.
    std::string TakeLine(std::string_view line, int nLine, std::string& strSection);

    struct Entry {
        std::string strValue;
        int nLine = 0;
    };
    std::map<std::pair<std::string, std::string>, Entry> m_entries;
    std::string m_strError;
};
