// The settings store over QSettings: INI files on Linux.

#include <QFile>
#include <QSettings>
#include <QStandardPaths>

#include "settings_store.h"

namespace {

constexpr char kRegistryKey[] = "quill/Postern";

QString Key(const std::string& strSection, const std::string& strEntry) {
    return QString::fromStdString(strSection) + QLatin1Char('/') + QString::fromStdString(strEntry);
}

// Opened for one call; a shared fallback file must not leak values in.
class CProfileFile : public QSettings {
public:
    explicit CProfileFile(const std::string& strLocation)
        : QSettings(QString::fromStdString(strLocation), QSettings::IniFormat) {
        setFallbacksEnabled(false);
    }
};

}  // namespace

CSettingsStore::CSettingsStore(const std::string& strApplicationName)
    : m_strApplicationName(strApplicationName) {
    m_strLocation = (QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
                     u'/' + QString::fromLatin1(kRegistryKey) + u'/' +
                     QString::fromStdString(strApplicationName) + QStringLiteral(".conf"))
                        .toStdString();
}

bool CSettingsStore::CheckFile(std::string& strError) const {
    const QString strWhere = QString::fromStdString(m_strLocation) + QStringLiteral(": ");
    QFile file(QString::fromStdString(m_strLocation));
    if (!file.open(QIODevice::ReadOnly)) {
        strError = (strWhere + file.errorString()).toStdString();
        return false;
    }
    // QSettings skips UTF-8's byte order mark but reads UTF-16 as garbage.
    const QByteArray bytes = file.readAll();
    ByteOrderMark mark = ByteOrderMarkOf(std::string_view(bytes.constData(), bytes.size()));
    if (mark == ByteOrderMark::Utf16LE || mark == ByteOrderMark::Utf16BE) {
        strError = (strWhere + QStringLiteral("saved as UTF-16; save it as UTF-8")).toStdString();
        return false;
    }
    // QSettings takes a line without '=' for a key with no value and skips what it
    // cannot read; a file written by hand deserves to hear about such a line.
    const QList<QByteArray> lines = bytes.mid(mark == ByteOrderMark::Utf8 ? 3 : 0).split('\n');
    for (int nLine = 1; nLine <= lines.size(); ++nLine) {
        QByteArray line = lines[nLine - 1].trimmed();
        if (!line.isEmpty() && !line.startsWith(';') && !line.startsWith('#') &&
            !(line.startsWith('[') && line.endsWith(']')) && !line.contains('=')) {
            strError =
                (strWhere + QStringLiteral("line %1 is neither [Section] nor Key=value").arg(nLine))
                    .toStdString();
            return false;
        }
    }
    file.close();
    CProfileFile profile(m_strLocation);
    if (profile.status() != QSettings::NoError) {
        strError = (strWhere + QStringLiteral("not a file of [Section] and Key=value lines"))
                       .toStdString();
        return false;
    }
    const QStringList keys = profile.allKeys();
    for (const QString& strKey : keys) {
        // QSettings keeps keys above every section in [General], with no prefix.
        qsizetype nSlash = strKey.indexOf(u'/');
        const SettingKey* pKnown = nSlash < 0
                                       ? nullptr
                                       : FindSettingKey(strKey.left(nSlash).toStdString(),
                                                        strKey.mid(nSlash + 1).toStdString());
        QString strName =
            nSlash < 0
                ? QStringLiteral("'%1' above [Settings]").arg(strKey)
                : QStringLiteral("'%1' in [%2]").arg(strKey.mid(nSlash + 1), strKey.left(nSlash));
        if (pKnown == nullptr) {
            strError = (strWhere + QStringLiteral("unknown setting ") + strName).toStdString();
            return false;
        }
        QVariant value = profile.value(strKey);
        if (value.typeId() != QMetaType::QString) {
            strError =
                (strWhere + strName + QStringLiteral(" wants one value (quote it)")).toStdString();
            return false;
        }
        if (pKnown->nType == SettingKey::Int && !IsWholeNumber(value.toString().toStdString())) {
            strError = (strWhere + strName +
                        QStringLiteral(" wants a whole number, not '%1'").arg(value.toString()))
                           .toStdString();
            return false;
        }
    }
    return true;
}

int CSettingsStore::GetProfileInt(const std::string& strSection, const std::string& strEntry,
                                  int nDefault) const {
    CProfileFile profile(m_strLocation);
    QVariant value = profile.value(Key(strSection, strEntry));
    if (!value.isValid()) {
        return nDefault;
    }
    // An INI file keeps numbers as text; a value edited by hand reads as atoi reads it.
    if (value.typeId() == QMetaType::QString) {
        return Atoi(value.toString().toStdString());
    }
    bool bOk = false;
    int nValue = value.toInt(&bOk);
    return bOk ? nValue : nDefault;
}

std::string CSettingsStore::GetProfileString(const std::string& strSection,
                                             const std::string& strEntry,
                                             const std::string& strDefault) const {
    CProfileFile profile(m_strLocation);
    QVariant value = profile.value(Key(strSection, strEntry));
    if (!value.isValid()) {
        return strDefault;
    }
    return value.toString().toStdString();
}

bool CSettingsStore::WriteProfileInt(const std::string& strSection, const std::string& strEntry,
                                     int nValue) {
    CProfileFile profile(m_strLocation);
    profile.setValue(Key(strSection, strEntry), nValue);
    profile.sync();
    return profile.status() == QSettings::NoError;
}

bool CSettingsStore::WriteProfileString(const std::string& strSection, const std::string& strEntry,
                                        const std::string& strValue) {
    CProfileFile profile(m_strLocation);
    profile.setValue(Key(strSection, strEntry), QString::fromStdString(strValue));
    profile.sync();
    return profile.status() == QSettings::NoError;
}
