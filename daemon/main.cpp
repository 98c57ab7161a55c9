// posternd: the proxy without the tray, for servers, scripts and tests.

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>

#ifdef __linux__
#include <sys/prctl.h>
#endif

#include "console.h"
#include "daemon_options.h"
#include "event_loop.h"
#include "postern_version.h"
#include "proxy_config.h"
#include "proxy_runner.h"
#include "service_notify.h"
#include "settings_store.h"
#include "socket_error_text.h"
#include "stop_signals.h"

namespace {

// The application name whose settings posternd shares: the tray app's.
constexpr char kStoreName[] = "postern";

// What the runner tells, as lines on standard error; no icon to change.
class CStderrEvents : public IRunnerEvents {
public:
    void OnActiveChanged(bool) override {}
    void OnTipChanged(const std::string&) override {}

    void OnReport(const std::string& strText) override { WriteText(stderr, strText + "\n"); }

    void OnCapaHint() override {
        WriteText(stderr,
                  "posternd: a mail client asked for capabilities (CAPA) and was disconnected;"
                  " start posternd with --answer-capa to answer it\n");
    }
};

// A setting from the store that fails its check, as one line that says where to mend it.
void PrintStoredProblem(const SettingProblem& problem, const CSettingsStore& store) {
    const SettingOption& option = problem.pKey->options.front();
    std::string strOption = option.pszName;
    if (option.pszArgument != nullptr) {
        strOption += std::string(" ") + option.pszArgument;
    }
    if (problem.pKey->nType == SettingKey::Text) {
        WriteText(stderr, "posternd: " + problem.Describe() + "; use " + strOption + " or set " +
                              problem.pKey->pszEntry + " in " + store.GetLocation() +
                              "\nTry 'posternd --help'.\n");
    } else {
        WriteText(stderr, "posternd: " + store.GetLocation() + ": the stored " +
                              problem.Describe() + "; use " + strOption + "\n");
    }
}

}  // namespace

int PosterndMain(int argc, char** argv) {
#ifdef __linux__
    // A core would hold the passwords of logins under way.
    prctl(PR_SET_DUMPABLE, 0);
#endif
    DaemonOptions options;
    std::string strError;
    if (!ParseDaemonOptions(argc, argv, options, strError)) {
        WriteText(stderr, "posternd: " + strError + "\nTry 'posternd --help'.\n");
        return 2;
    }
    if (options.bHelp) {
        WriteText(stdout, DaemonUsage());
        return 0;
    }
    if (options.bVersion) {
        WriteText(stdout, "posternd (Postern) " POSTERN_VERSION_SHORT "\n");
        return 0;
    }
    // What the command line leaves out comes from the settings file it names, or
    // else from the tray app's stored settings.
    CSettingsStore store = options.strConfigFile ? CSettingsStore::OpenFile(*options.strConfigFile)
                                                 : CSettingsStore(kStoreName);
    if (std::string strFileError; options.strConfigFile && !store.CheckFile(strFileError)) {
        WriteText(stderr, "posternd: " + strFileError + "\n");
        return 2;
    }
    SettingProblem problem;
    std::optional<CProxyConfig> config = CProxyConfig::Load(options.values, &store, problem);
    if (!config) {
        PrintStoredProblem(problem, store);
        return 2;
    }

    EventLoop loop;
    CStopSignals stopSignals(loop);
    CStderrEvents events;
    CProxyRunner runner(events);
    if (!runner.Start(*config)) {
        if (!runner.GetProblem().empty()) {
            WriteText(stderr, "posternd: " + runner.GetProblem() + "\n");
            return 2;
        }
        WriteText(stderr, "posternd: cannot listen on port " +
                              std::to_string(config->GetInt(setting::kLocalPort)) + ": " +
                              SocketErrorText(runner.GetListenError()) + "\n");
        return 1;
    }
    if (!NotifyServiceManager("READY=1")) {
        WriteText(stderr, std::string("posternd: cannot tell the service manager it is ready: ") +
                              std::strerror(errno) + "\n");
    }

    while (!stopSignals.IsStopRequested()) {
        loop.RunOnce(-1);
    }
    NotifyServiceManager("STOPPING=1");
    return 0;
}
