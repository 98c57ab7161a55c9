#pragma once

#include <QLocalServer>
#include <QObject>
#include <QString>

// One running program per program name (and so per settings file): the first
// start listens on a local socket in the user's runtime folder; a later start
// finds it there, asks it to show itself, and ends.
class CSingleInstance : public QObject {
    Q_OBJECT

public:
    explicit CSingleInstance(const QString& strProgramName, QObject* pParent = nullptr);

    // True when a running program took the request to show itself.
    bool AskRunningToShow();
    // Takes the name for this program; false when that is impossible.
    bool Listen();

signals:
    void ShowRequested();

private:
    void OnConnection();

    QString m_strPath;
    QLocalServer m_server;
};
