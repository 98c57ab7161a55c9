#include "settings_store.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QStandardPaths>
#include <algorithm>
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
    CProfileFile(const QString& strLocation, bool bIniFile)
        : QSettings(strLocation, bIniFile ? QSettings::IniFormat : NativeFormat()) {
        setFallbacksEnabled(false);
    }

private:
    static QSettings::Format NativeFormat() {
#ifdef Q_OS_WIN
        return QSettings::NativeFormat;
#else
        return QSettings::IniFormat;
#endif
    }
};

bool IsWholeNumber(const QString& strText) {
    const QString strNumber = strText.trimmed();
    const qsizetype nSign = strNumber.startsWith(u'-') || strNumber.startsWith(u'+') ? 1 : 0;
    bool bOk = false;
    strNumber.toInt(&bOk);
    return bOk && strNumber.size() > nSign &&
           std::all_of(strNumber.begin() + nSign, strNumber.end(),
                       [](QChar c) { return c >= u'0' && c <= u'9'; });
}

}  // namespace

CSettingsStore CSettingsStore::OpenFile(const QString& strPath) {
    CSettingsStore store;
    store.m_strApplicationName = ApplicationNameOf(strPath);
    store.m_strLocation = strPath;
    store.m_bIniFile = true;
    return store;
}

bool CSettingsStore::CheckFile(QString& strError) const {
    const QString strWhere = m_strLocation + QStringLiteral(": ");
    QFile file(m_strLocation);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        strError = strWhere + file.errorString();
        return false;
    }
    // QSettings takes a line without '=' for a key with no value and skips what it
    // cannot read; a file written by hand deserves to hear about such a line.
    for (int nLine = 1; !file.atEnd(); ++nLine) {
        QByteArray line = file.readLine().trimmed();
        if (!line.isEmpty() && !line.startsWith(';') && !line.startsWith('#') &&
            !(line.startsWith('[') && line.endsWith(']')) && !line.contains('=')) {
            strError =
                strWhere + QStringLiteral("line %1 is neither [Section] nor Key=value").arg(nLine);
            return false;
        }
    }
    file.close();
    CProfileFile profile(m_strLocation, m_bIniFile);
    if (profile.status() != QSettings::NoError) {
        strError = strWhere + QStringLiteral("not a file of [Section] and Key=value lines");
        return false;
    }
    const QStringList keys = profile.allKeys();
    for (const QString& strKey : keys) {
        const SettingKey* pKnown = nullptr;
        for (const SettingKey* pKey : setting::kAll) {
            if (strKey == Key(QLatin1String(pKey->pszSection), QLatin1String(pKey->pszEntry))) {
                pKnown = pKey;
            }
        }
        // QSettings keeps keys above every section in [General], with no prefix.
        qsizetype nSlash = strKey.indexOf(u'/');
        QString strName =
            nSlash < 0
                ? QStringLiteral("'%1' above [Settings]").arg(strKey)
                : QStringLiteral("'%1' in [%2]").arg(strKey.mid(nSlash + 1), strKey.left(nSlash));
        if (pKnown == nullptr) {
            strError = strWhere + QStringLiteral("unknown setting ") + strName;
            return false;
        }
        QVariant value = profile.value(strKey);
        if (value.typeId() != QMetaType::QString) {
            strError = strWhere + strName + QStringLiteral(" wants one value (quote it)");
            return false;
        }
        if (pKnown->nType == SettingKey::Int && !IsWholeNumber(value.toString())) {
            strError = strWhere + strName +
                       QStringLiteral(" wants a whole number, not '%1'").arg(value.toString());
            return false;
        }
    }
    return true;
}

int CSettingsStore::GetProfileInt(const QString& strSection, const QString& strEntry,
                                  int nDefault) const {
    CProfileFile profile(m_strLocation, m_bIniFile);
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
    CProfileFile profile(m_strLocation, m_bIniFile);
    QVariant value = profile.value(Key(strSection, strEntry));
    if (!value.isValid()) {
        return strDefault;
    }
    return value.toString();
}

bool CSettingsStore::WriteProfileInt(const QString& strSection, const QString& strEntry,
                                     int nValue) {
    CProfileFile profile(m_strLocation, m_bIniFile);
    profile.setValue(Key(strSection, strEntry), nValue);
    profile.sync();
    return profile.status() == QSettings::NoError;
}

bool CSettingsStore::WriteProfileString(const QString& strSection, const QString& strEntry,
                                        const QString& strValue) {
    CProfileFile profile(m_strLocation, m_bIniFile);
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
