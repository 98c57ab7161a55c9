#include "proxy_app.h"

#include <QIcon>
#include <QMessageBox>
#include <csignal>

#include "config_dlg.h"
#include "event_bridge.h"
#include "event_loop.h"
#include "message_boxes.h"
#include "postern_version.h"
#include "settings_store.h"
#include "single_instance.h"

CProxyApp::CProxyApp(int& argc, char** argv) : QApplication(argc, argv) {
    // The version from CMake's project(); the settings go by the program file's own name.
    setApplicationName(QStringLiteral("postern"));
    setApplicationVersion(QStringLiteral(POSTERN_VERSION));
    setWindowIcon(QIcon(QStringLiteral(":/icons/postern-32.png")));
    // The dialog is hidden most of the time, and closing a message box must not
    // end the program.
    setQuitOnLastWindowClosed(false);
}

int CProxyApp::InitInstance() {
    std::signal(SIGPIPE, SIG_IGN);
    EventLoop loop;
    if (loop.Fd() < 0) {
        // The framework's own box: the application name as caption.
        QMessageBox::warning(nullptr, applicationName(),
                             QStringLiteral("Windows sockets initialization failed."));
        return 1;
    }
    QString strName = QString::fromStdString(
        CSettingsStore::ApplicationNameOf(applicationFilePath().toStdString()));
    // A second start under the same name would only add an icon whose
    // listener cannot bind: the running one shows its dialog instead.
    CSingleInstance instance(strName);
    if (instance.AskRunningToShow()) {
        return 0;
    }
    instance.Listen();
    CEventBridge bridge(loop);
    CConfigDlg dlg((CSettingsStore(strName.toStdString())));
    connect(&dlg, &QDialog::finished, this, [] { QCoreApplication::exit(0); });
    connect(&instance, &CSingleInstance::ShowRequested, &dlg, &CConfigDlg::OnTrayRestore);
    dlg.OnInitDialog();
    return exec();
}
