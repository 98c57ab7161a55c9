#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "setting_keys.h"
#include "settings_file.h"

// <windows.h> makes these names macros for its own profile functions; here they
// are methods. Include this header after <windows.h>.
#undef GetProfileInt
#undef GetProfileString
#undef WriteProfileString

// C's atoi on text: leading white space, an optional sign, then decimal digits up
// to the first other character; no digits gives 0. Out of range saturates, as the
// Windows runtime does, instead of being undefined.
int Atoi(std::string_view strText);

// The per-user profile of one application name: on Linux the INI file
// $XDG_CONFIG_HOME/quill/Postern/<name>.conf (default ~/.config), on Windows the
// registry key HKEY_CURRENT_USER\Software\quill\Postern\<name>. Every call opens
// the store afresh and every write is flushed at once, so another process (the
// tray app, posternd) sees it straight away. All text is UTF-8.
class CSettingsStore {
public:
    explicit CSettingsStore(const std::string& strApplicationName);

    // The settings of a file named outright, such as a system-wide posternd.conf,
    // instead of the profile of an application name: read once, here, and
    // strictly, the same on every system (CSettingsFile). Only read.
    static CSettingsStore OpenFile(const std::string& strPath);
    // For a file named outright: true when it was read and holds nothing but
    // settings of the table, numbers written as whole numbers; otherwise where
    // and what is wrong ("FILE:LINE: reason"). Catches the slips a person makes
    // by hand; a refused file's values read as absent.
    bool CheckFile(std::string& strError) const;

    // The application name of a program file: its name without the extension, so
    // two copies under different names keep separate settings.
    static std::string ApplicationNameOf(std::string_view strProgramPath);

    int GetProfileInt(const std::string& strSection, const std::string& strEntry,
                      int nDefault) const;
    std::string GetProfileString(const std::string& strSection, const std::string& strEntry,
                                 const std::string& strDefault = std::string()) const;
    bool WriteProfileInt(const std::string& strSection, const std::string& strEntry, int nValue);
    bool WriteProfileString(const std::string& strSection, const std::string& strEntry,
                            const std::string& strValue);

    // A setting of the table as text, a number written out in decimal.
    std::string Read(const SettingKey& key) const;
    int ReadInt(const SettingKey& key) const;
    // Stores the text; an Int setting is stored as atoi reads the text.
    bool Write(const SettingKey& key, const std::string& strValue);

    // Where the settings live: a file name on Linux, a registry path on Windows.
    std::string GetLocation() const { return m_strLocation; }

private:
    CSettingsStore() = default;

    // The profile itself: QSettings' file on Linux, the registry on Windows.
    int GetStoredInt(const std::string& strSection, const std::string& strEntry,
                     int nDefault) const;
    std::string GetStoredString(const std::string& strSection, const std::string& strEntry,
                                const std::string& strDefault) const;
    bool WriteStoredInt(const std::string& strSection, const std::string& strEntry, int nValue);
    bool WriteStoredString(const std::string& strSection, const std::string& strEntry,
                           const std::string& strValue);

    std::string m_strApplicationName;
    std::string m_strLocation;
    std::optional<CSettingsFile> m_file;  // a file named outright instead of the profile
};

// A whole number as a person writes one into a settings file: blanks around it,
// an optional sign, decimal digits only, within the range of int.
bool IsWholeNumber(std::string_view strText);
