// posternd: the proxy without the tray, for servers, scripts and tests.

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <utility>

#include "daemon_options.h"
#include "event_loop.h"
#include "listen_socket.h"
#include "notice.h"
#include "service_notify.h"
#include "settings_store.h"
#include "socket_error_text.h"
#include "stop_watch.h"

namespace {

// The application name whose settings posternd shares: the tray app's.
constexpr char kStoreName[] = "postern";

// Receives the proxy's notices: deletes ended sessions, prints reports.
class CDaemonWnd : public CNoticeWnd {
public:
    explicit CDaemonWnd(CListenSocket& listener) : m_listener(listener) {}

    LRESULT OnSessionNotify(WPARAM wParam, LPARAM lParam) override {
        if (wParam == 0) {
            m_listener.RemoveSession(lParam);
        }
        return 0;
    }

    void OnReport(const std::string& strText) override {
        std::fprintf(stderr, "%s\n", strText.c_str());
        std::fflush(stderr);
    }

    void OnCapaRefused() override {
        if (m_bCapaHintGiven)
            return;
        m_bCapaHintGiven = true;
        std::fputs(
            "posternd: a mail client asked for capabilities (CAPA) and was disconnected;"
            " start posternd with --answer-capa to answer it\n",
            stderr);
        std::fflush(stderr);
    }

private:
    CListenSocket& m_listener;
    bool m_bCapaHintGiven = false;
};

}  // namespace

int main(int argc, char** argv) {
    DaemonOptions options;
    std::string strError;
    if (!ParseDaemonOptions(argc, argv, options, strError)) {
        std::fprintf(stderr, "posternd: %s\nTry 'posternd --help'.\n", strError.c_str());
        return 2;
    }
    if (options.bHelp) {
        std::fputs(kDaemonUsage, stdout);
        return 0;
    }
    if (options.bVersion) {
        std::puts("posternd (Postern) 1.0");
        return 0;
    }
    // What the command line leaves out comes from the settings file it names, or
    // else from the tray app's stored settings.
    CSettingsStore store = options.strConfigFile ? CSettingsStore::OpenFile(*options.strConfigFile)
                                                 : CSettingsStore(kStoreName);
    if (std::string strFileError; options.strConfigFile && !store.CheckFile(strFileError)) {
        std::fprintf(stderr, "posternd: %s\n", strFileError.c_str());
        return 2;
    }
    std::string strHostName = options.strHostName.value_or(store.Read(setting::kHostName));
    if (strHostName.empty()) {
        std::fprintf(stderr,
                     "posternd: no POP3 server given; use --host NAME or set HostName in %s\n"
                     "Try 'posternd --help'.\n",
                     store.GetLocation().c_str());
        return 2;
    }
    int nHostPort = options.nHostPort.value_or(store.ReadInt(setting::kHostPort));
    int nLocalPort = options.nLocalPort.value_or(store.ReadInt(setting::kLocalPort));
    for (auto [pszOption, nPort] :
         {std::pair{"--host-port", nHostPort}, std::pair{"--local-port", nLocalPort}}) {
        if (nPort < 1 || nPort > 65535) {
            std::fprintf(stderr, "posternd: the stored port %d in %s is not a port; use %s N\n",
                         nPort, store.GetLocation().c_str(), pszOption);
            return 2;
        }
    }

    EventLoop loop;
    CStopWatch stopWatch(loop);
    auto pListener = std::make_unique<CListenSocket>(strHostName, nHostPort);
    pListener->SetAnswerCapa(options.bAnswerCapa || store.ReadInt(setting::kAnswerCapa) != 0);
    if (!pListener->StartListening(unsigned(nLocalPort))) {
        std::fprintf(stderr, "posternd: cannot listen on port %d: %s\n", nLocalPort,
                     SocketErrorText(CAsyncSocket::GetLastError()).c_str());
        return 1;
    }
    CDaemonWnd wnd(*pListener);
    g_hMainWnd = &wnd;
    if (!NotifyServiceManager("READY=1")) {
        std::fprintf(stderr, "posternd: cannot tell the service manager it is ready: %s\n",
                     std::strerror(errno));
    }

    while (!stopWatch.IsStopRequested()) {
        loop.RunOnce(-1);
    }
    NotifyServiceManager("STOPPING=1");
    g_hMainWnd = nullptr;
    pListener.reset();
    return 0;
}
