#pragma once

#include <QString>

#include "setting_keys.h"

// C's atoi on text: leading white space, an optional sign, then decimal digits up
// to the first other character; no digits gives 0. Out of range saturates, as the
// Windows runtime does, instead of being undefined.
int Atoi(const QString& strText);

// The per-user profile of one application name: on Linux the INI file
// $XDG_CONFIG_HOME/quill/Postern/<name>.conf (default ~/.config), on Windows the
// registry key HKEY_CURRENT_USER\Software\quill\Postern\<name>. Every call opens
// the store afresh and every write is flushed at once, so another process (the
// tray app, posternd) sees it straight away.
class CSettingsStore {
public:
    explicit CSettingsStore(const QString& strApplicationName);

    // The settings of an INI file named outright, such as a system-wide
    // posternd.conf, instead of the profile of an application name.
    static CSettingsStore OpenFile(const QString& strPath);
    // For a file named outright: true when it can be read and every value in it
    // is a setting of the table, numbers written as whole numbers; otherwise a
    // message saying what is wrong. Catches typos a person makes by hand.
    bool CheckFile(QString& strError) const;

    // The application name of a program file: its name without the extension, so
    // two copies under different names keep separate settings.
    static QString ApplicationNameOf(const QString& strProgramPath);

    int GetProfileInt(const QString& strSection, const QString& strEntry, int nDefault) const;
    QString GetProfileString(const QString& strSection, const QString& strEntry,
                             const QString& strDefault = QString()) const;
    bool WriteProfileInt(const QString& strSection, const QString& strEntry, int nValue);
    bool WriteProfileString(const QString& strSection, const QString& strEntry,
                            const QString& strValue);

    // A setting of the table as text, a number written out in decimal.
    QString Read(const SettingKey& key) const;
    int ReadInt(const SettingKey& key) const;
    // Stores the text; an Int setting is stored as atoi reads the text.
    bool Write(const SettingKey& key, const QString& strValue);

    QString GetApplicationName() const { return m_strApplicationName; }
    // Where the settings live: a file name on Linux, a registry path on Windows.
    QString GetLocation() const { return m_strLocation; }

private:
    CSettingsStore() = default;

    QString m_strApplicationName;
    QString m_strLocation;
    bool m_bIniFile = false;  // an INI file on every platform, even where the profile is not
};
