#include "settings_store.h"

#include <QDir>
#include <QFileInfo>
#include <QSettings>
#include <QStandardPaths>
#include <climits>

namespace {

constexpr char kRegistryKey[] = "quill/Postern";

QString Key(const QString& strSection, const QString& strEntry) {
    return strSection + QLatin1Char('/') + strEntry;
}

}  // namespace

int Atoi(const QString& strText) {
    qsizetype i = 0;
    const qsizetype nLength = strText.size();
    // The C locale's white space only: a Unicode space is not skipped by atoi either.
    while (i < nLength && (strText[i] == u' ' || (strText[i] >= u'\t' && strText[i] <= u'\r'))) {
        ++i;
    }
    bool bNegative = false;
    if (i < nLength && (strText[i] == u'+' || strText[i] == u'-')) {
        bNegative = strText[i] == u'-';
        ++i;
    }
    long long nValue = 0;
    for (; i < nLength && strText[i] >= u'0' && strText[i] <= u'9'; ++i) {
        nValue = nValue * 10 + (strText[i].unicode() - u'0');
        if (nValue > static_cast<long long>(INT_MAX) + 1) {
            nValue = static_cast<long long>(INT_MAX) + 1;
        }
    }
    if (bNegative) {
        return static_cast<int>(-nValue < INT_MIN ? INT_MIN : -nValue);
    }
    return static_cast<int>(nValue > INT_MAX ? INT_MAX : nValue);
}

CSettingsStore::CSettingsStore(const QString& strApplicationName)
    : m_strApplicationName(strApplicationName) {
#ifdef Q_OS_WIN
    m_strLocation = QStringLiteral("HKEY_CURRENT_USER\\Software\\") +
                    QString::fromLatin1(kRegistryKey).replace(u'/', u'\\') + u'\\' +
                    strApplicationName;
#else
    m_strLocation = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) + u'/' +
                    QString::fromLatin1(kRegistryKey) + u'/' + strApplicationName +
                    QStringLiteral(".conf");
#endif
}

QString CSettingsStore::ApplicationNameOf(const QString& strProgramPath) {
    return QFileInfo(strProgramPath).completeBaseName();
}

namespace {

// Opened for one call; a shared fallback file must not leak values in.
class CProfileFile : public QSettings {
public:
    explicit CProfileFile(const QString& strLocation)
#ifdef Q_OS_WIN
        : QSettings(strLocation, QSettings::NativeFormat){
#else
        : QSettings(strLocation, QSettings::IniFormat) {
#endif
              setFallbacksEnabled(false);
}
};  // namespace

}  // namespace

int CSettingsStore::GetProfileInt(const QString& strSection, const QString& strEntry,
                                  int nDefault) const {
    CProfileFile profile(m_strLocation);
    QVariant value = profile.value(Key(strSection, strEntry));
    if (!value.isValid()) {
        return nDefault;
    }
    // An INI file keeps numbers as text; a value edited by hand reads as atoi reads it.
    if (value.typeId() == QMetaType::QString) {
        return Atoi(value.toString());
    }
    bool bOk = false;
    int nValue = value.toInt(&bOk);
    return bOk ? nValue : nDefault;
}

QString CSettingsStore::GetProfileString(const QString& strSection, const QString& strEntry,
                                         const QString& strDefault) const {
    CProfileFile profile(m_strLocation);
    QVariant value = profile.value(Key(strSection, strEntry));
    if (!value.isValid()) {
        return strDefault;
    }
    return value.toString();
}

bool CSettingsStore::WriteProfileInt(const QString& strSection, const QString& strEntry,
                                     int nValue) {
    CProfileFile profile(m_strLocation);
    profile.setValue(Key(strSection, strEntry), nValue);
    profile.sync();
    return profile.status() == QSettings::NoError;
}

bool CSettingsStore::WriteProfileString(const QString& strSection, const QString& strEntry,
                                        const QString& strValue) {
    CProfileFile profile(m_strLocation);
    profile.setValue(Key(strSection, strEntry), strValue);
    profile.sync();
    return profile.status() == QSettings::NoError;
}

QString CSettingsStore::Read(const SettingKey& key) const {
    if (key.nType == SettingKey::Int) {
        return QString::number(ReadInt(key));
    }
    return GetProfileString(QLatin1String(key.pszSection), QLatin1String(key.pszEntry));
}

int CSettingsStore::ReadInt(const SettingKey& key) const {
    if (key.nType == SettingKey::Text) {
        return Atoi(Read(key));
    }
    return GetProfileInt(QLatin1String(key.pszSection), QLatin1String(key.pszEntry), key.nDefault);
}

bool CSettingsStore::Write(const SettingKey& key, const QString& strValue) {
    if (key.nType == SettingKey::Int) {
        return WriteProfileInt(QLatin1String(key.pszSection), QLatin1String(key.pszEntry),
                               Atoi(strValue));
    }
    return WriteProfileString(QLatin1String(key.pszSection), QLatin1String(key.pszEntry), strValue);
}
