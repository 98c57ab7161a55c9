#include "single_instance.h"

#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QLocalSocket>

namespace {

constexpr int kWaitMs = 2000;
constexpr char kShow[] = "show\n";

QString SocketFolder() {
    QString strRuntime = QString::fromLocal8Bit(qgetenv("XDG_RUNTIME_DIR"));
    if (!strRuntime.isEmpty() && QDir(strRuntime).exists()) {
        return strRuntime;
    }
    QString strFolder = QStringLiteral("%1/postern-%2").arg(QDir::tempPath()).arg(::getuid());
    QDir().mkpath(strFolder);
    QFile::setPermissions(strFolder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    return strFolder;
}

}  // namespace

CSingleInstance::CSingleInstance(const QString& strProgramName, QObject* pParent)
    : QObject(pParent),
      m_strPath(QStringLiteral("%1/%2.instance").arg(SocketFolder(), strProgramName)) {
    m_server.setSocketOptions(QLocalServer::UserAccessOption);
    connect(&m_server, &QLocalServer::newConnection, this, &CSingleInstance::OnConnection);
}

bool CSingleInstance::AskRunningToShow() {
    QLocalSocket socket;
    socket.connectToServer(m_strPath);
    if (!socket.waitForConnected(kWaitMs)) {
        return false;
    }
    socket.write(kShow);
    return socket.waitForBytesWritten(kWaitMs);
}

bool CSingleInstance::Listen() {
    if (m_server.listen(m_strPath)) {
        return true;
    }
    // A socket file left behind by a program that did not end cleanly; no one
    // answered on it in AskRunningToShow.
    QLocalServer::removeServer(m_strPath);
    return m_server.listen(m_strPath);
}

void CSingleInstance::OnConnection() {
    while (QLocalSocket* pSocket = m_server.nextPendingConnection()) {
        connect(pSocket, &QLocalSocket::disconnected, pSocket, &QObject::deleteLater);
        connect(pSocket, &QLocalSocket::readyRead, this, [this, pSocket] {
            if (!pSocket->canReadLine()) {
                return;
            }
            if (pSocket->readLine() == kShow) {
                emit ShowRequested();
            }
            pSocket->disconnectFromServer();
        });
    }
}
