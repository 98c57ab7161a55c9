// The settings store over QSettings: INI files on Linux.

#include "settings_store.h"

#include <QDir>
#include <QFile>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

class CSettingsStoreTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void atoiReadsAsTheCRuntimeDoes_data();
    void atoiReadsAsTheCRuntimeDoes();
    void storesInTheFileOfTheApplicationName();
    void missingValuesGiveTheDefaults();
    void valuesRoundTrip();
    void applicationNamesKeepSeparateSettings();
    void sharedFallbackFileDoesNotLeakIn();
    void settingsFileTakesValuesAsWritten_data();
    void settingsFileTakesValuesAsWritten();

private:
    QString StoreFile(const QString& strName) const {
        return m_dir.path() + QStringLiteral("/quill/Postern/") + strName + QStringLiteral(".conf");
    }

    QTemporaryDir m_dir;
};

void CSettingsStoreTest::initTestCase() {
    QVERIFY(m_dir.isValid());
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(m_dir.path()));
}

void CSettingsStoreTest::init() {
    QDir(m_dir.path() + QStringLiteral("/quill")).removeRecursively();
}

void CSettingsStoreTest::atoiReadsAsTheCRuntimeDoes_data() {
    QTest::addColumn<QString>("strText");
    QTest::addColumn<int>("nValue");
    QTest::newRow("digits") << "110" << 110;
    QTest::newRow("no digits") << "abc" << 0;
    QTest::newRow("empty") << "" << 0;
    QTest::newRow("blank, digits, letter") << " 110x" << 110;
    QTest::newRow("tab and newline") << "\t\n42" << 42;
    QTest::newRow("negative") << "-5" << -5;
    QTest::newRow("plus") << "+7" << 7;
    QTest::newRow("sign alone") << "-" << 0;
    QTest::newRow("two signs") << "--5" << 0;
    QTest::newRow("blank after sign") << "- 5" << 0;
    QTest::newRow("non-breaking space is not skipped") << QString(QChar(0xA0)) + "5" << 0;
    QTest::newRow("too large") << "99999999999999999999" << 2147483647;
    QTest::newRow("too small") << "-99999999999999999999" << -2147483647 - 1;
    QTest::newRow("smallest") << "-2147483648" << -2147483647 - 1;
}

void CSettingsStoreTest::atoiReadsAsTheCRuntimeDoes() {
    QFETCH(QString, strText);
    QFETCH(int, nValue);
    QCOMPARE(Atoi(strText.toStdString()), nValue);
}

void CSettingsStoreTest::storesInTheFileOfTheApplicationName() {
    CSettingsStore store("postern");
    QCOMPARE(store.GetLocation(), StoreFile(QStringLiteral("postern")).toStdString());
    store.WriteProfileInt("Settings", "LocalPort", 1110);
    store.WriteProfileString("Settings", "HostName", std::string("pop.example.com"));
    QFile file(StoreFile(QStringLiteral("postern")));
    QVERIFY(file.open(QIODevice::ReadOnly));
    QByteArray text = file.readAll();
    QVERIFY2(text.contains("[Settings]"), text);
    QVERIFY2(text.contains("LocalPort=1110"), text);
    QVERIFY2(text.contains("HostName=pop.example.com"), text);
}

void CSettingsStoreTest::missingValuesGiveTheDefaults() {
    CSettingsStore store("postern");
    QCOMPARE(store.GetProfileInt("Settings", "LocalPort", 110), 110);
    QCOMPARE(store.GetProfileString("Settings", "HostName"), std::string());
    // A read creates nothing.
    QVERIFY(!QFile::exists(StoreFile(QStringLiteral("postern"))));
}

void CSettingsStoreTest::valuesRoundTrip() {
    CSettingsStore store("postern");
    store.WriteProfileInt("Settings", "HostPort", -5);
    store.WriteProfileInt("Settings", "LocalPort", 0);
    store.WriteProfileString("Settings", "HostName", std::string());
    CSettingsStore again("postern");
    QCOMPARE(again.GetProfileInt("Settings", "HostPort", 110), -5);
    QCOMPARE(again.GetProfileInt("Settings", "LocalPort", 110), 0);
    // An empty host name is a stored value, not a missing one.
    QSettings file(StoreFile(QStringLiteral("postern")), QSettings::IniFormat);
    QVERIFY(file.contains(QStringLiteral("Settings/HostName")));
    QCOMPARE(again.GetProfileString("Settings", "HostName", std::string("default")), std::string());
    // A number edited by hand into the file reads as atoi reads it.
    QFile edited(StoreFile(QStringLiteral("postern")));
    QVERIFY(edited.open(QIODevice::WriteOnly | QIODevice::Truncate));
    edited.write("[Settings]\nLocalPort=\" 995x\"\nHostPort=abc\n");
    edited.close();
    QCOMPARE(again.GetProfileInt("Settings", "LocalPort", 110), 995);
    QCOMPARE(again.GetProfileInt("Settings", "HostPort", 110), 0);
}

void CSettingsStoreTest::applicationNamesKeepSeparateSettings() {
    QCOMPARE(CSettingsStore::ApplicationNameOf("/usr/bin/postern"), std::string("postern"));
    QCOMPARE(CSettingsStore::ApplicationNameOf("C:/Tools/postern.EXE"), std::string("postern"));
    QCOMPARE(CSettingsStore::ApplicationNameOf("/opt/work-postern"), std::string("work-postern"));
    CSettingsStore first("postern");
    CSettingsStore second("work-postern");
    first.WriteProfileString("Settings", "HostName", std::string("pop.home.example"));
    second.WriteProfileString("Settings", "HostName", std::string("pop.work.example"));
    second.WriteProfileInt("Settings", "LocalPort", 2110);
    QCOMPARE(first.GetProfileString("Settings", "HostName"), std::string("pop.home.example"));
    QCOMPARE(first.GetProfileInt("Settings", "LocalPort", 110), 110);
    QCOMPARE(second.GetProfileString("Settings", "HostName"), std::string("pop.work.example"));
}

void CSettingsStoreTest::sharedFallbackFileDoesNotLeakIn() {
    // QSettings' own fallbacks for organisation "quill/Postern" would read these.
    QDir().mkpath(m_dir.path() + QStringLiteral("/quill/Postern"));
    for (QString strFile : {QStringLiteral("/quill/Postern.conf"), QStringLiteral("/quill.conf")}) {
        QFile file(m_dir.path() + strFile);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("[Settings]\nHostName=leaked\nLocalPort=1\n");
    }
    CSettingsStore store("postern");
    QCOMPARE(store.GetProfileString("Settings", "HostName"), std::string());
    QCOMPARE(store.GetProfileInt("Settings", "LocalPort", 110), 110);
}

void CSettingsStoreTest::settingsFileTakesValuesAsWritten_data() {
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QString>("strValue");
    QTest::newRow("quotes dropped, no escapes")
        << QByteArray("[Settings]\nTlsTrustFile = \"C:\\my ca\\ca.pem\"\n") << "C:\\my ca\\ca.pem";
    QTest::newRow("; and # between quotes")
        << QByteArray("[Settings]\r\nTlsTrustFile=\"a;b#c\"\r\n") << "a;b#c";
    QTest::newRow("= and commas") << QByteArray("[Settings]\nTlsTrustFile=/a=b,c.pem")
                                  << "/a=b,c.pem";
    // Beyond the 16 bits of one UTF-16 unit.
    QString strText = QStringLiteral("\uFEFF[Settings]\nTlsTrustFile=/ca-\U0001F600.pem\n");
    QTest::newRow("UTF-16 surrogate pair")
        << QByteArray(reinterpret_cast<const char*>(strText.utf16()), strText.size() * 2)
        << QStringLiteral("/ca-\U0001F600.pem");
}

// What a good line means, beyond what posternd's run can show.
void CSettingsStoreTest::settingsFileTakesValuesAsWritten() {
    QFETCH(QByteArray, file);
    QFETCH(QString, strValue);
    CSettingsFile settings =
        CSettingsFile::Parse(std::string_view(file.constData(), file.size()), "test.conf");
    QCOMPARE(settings.GetError(), std::string());
    const std::string* pValue = settings.Find("Settings", "TlsTrustFile");
    QVERIFY(pValue != nullptr);
    QCOMPARE(QString::fromStdString(*pValue), strValue);
}

QTEST_GUILESS_MAIN(CSettingsStoreTest)
#include "settings_store_test.moc"
