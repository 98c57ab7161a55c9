// The settings store over QSettings: INI files on Linux.

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

int CSettingsStore::GetStoredInt(const std::string& strSection, const std::string& strEntry,
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

std::string CSettingsStore::GetStoredString(const std::string& strSection,
                                            const std::string& strEntry,
                                            const std::string& strDefault) const {
    CProfileFile profile(m_strLocation);
    QVariant value = profile.value(Key(strSection, strEntry));
    if (!value.isValid()) {
        return strDefault;
    }
    return value.toString().toStdString();
}

bool CSettingsStore::WriteStoredInt(const std::string& strSection, const std::string& strEntry,
                                    int nValue) {
    CProfileFile profile(m_strLocation);
    profile.setValue(Key(strSection, strEntry), nValue);
    profile.sync();
    return profile.status() == QSettings::NoError;
}

bool CSettingsStore::WriteStoredString(const std::string& strSection, const std::string& strEntry,
                                       const std::string& strValue) {
    CProfileFile profile(m_strLocation);
    profile.setValue(Key(strSection, strEntry), QString::fromStdString(strValue));
    profile.sync();
    return profile.status() == QSettings::NoError;
}
