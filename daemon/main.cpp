// posternd: the proxy without the tray, for servers, scripts and tests.

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>

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

    void OnReport(const std::string& strText) override {
        std::fprintf(stderr, "%s\n", strText.c_str());
        std::fflush(stderr);
    }

    void OnCapaHint() override {
        std::fputs(
            "posternd: a mail client asked for capabilities (CAPA) and was disconnected;"
            " start posternd with --answer-capa to answer it\n",
            stderr);
        std::fflush(stderr);
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
        std::fprintf(stderr, "posternd: %s; use %s or set %s in %s\nTry 'posternd --help'.\n",
                     problem.Describe().c_str(), strOption.c_str(), problem.pKey->pszEntry,
                     store.GetLocation().c_str());
    } else {
        std::fprintf(stderr, "posternd: %s: the stored %s; use %s\n", store.GetLocation().c_str(),
                     problem.Describe().c_str(), strOption.c_str());
    }
}

}  // namespace

int main(int argc, char** argv) {
    DaemonOptions options;
    std::string strError;
    if (!ParseDaemonOptions(argc, argv, options, strError)) {
        std::fprintf(stderr, "posternd: %s\nTry 'posternd --help'.\n", strError.c_str());
        return 2;
    }
    if (options.bHelp) {
        std::fputs(DaemonUsage().c_str(), stdout);
        return 0;
    }
    if (options.bVersion) {
        std::puts("posternd (Postern) " POSTERN_VERSION_SHORT);
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
            std::fprintf(stderr, "posternd: %s\n", runner.GetProblem().c_str());
            return 2;
        }
        std::fprintf(stderr, "posternd: cannot listen on port %d: %s\n",
                     config->GetInt(setting::kLocalPort),
                     SocketErrorText(runner.GetListenError()).c_str());
        return 1;
    }
    if (!NotifyServiceManager("READY=1")) {
        std::fprintf(stderr, "posternd: cannot tell the service manager it is ready: %s\n",
                     std::strerror(errno));
    }

    while (!stopSignals.IsStopRequested()) {
        loop.RunOnce(-1);
    }
    NotifyServiceManager("STOPPING=1");
    return 0;
}
