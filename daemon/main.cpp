// posternd: the proxy without the tray, for servers, scripts and tests.

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>

#include "console.h"
#include "daemon_options.h"
#include "event_loop.h"
#include "postern_version.h"
#include "process_guard.h"
#include "proxy_config.h"
#include "proxy_runner.h"
#include "service_notify.h"
#include "settings_store.h"
#include "stop_signals.h"

namespace {

// The application name whose settings posternd shares: the tray app's.
constexpr char kStoreName[] = "postern";

// What the runner tells, as lines on standard error; no icon to change. The
// session log waits for the end of the loop's round (FlushLog), so that a
// busy round writes it at once instead of line by line.
class CStderrEvents : public IRunnerEvents {
public:
    explicit CStderrEvents(bool bQuiet) : m_bQuiet(bQuiet) {}
    ~CStderrEvents() { FlushLog(); }

    void OnActiveChanged(bool) override {}
    void OnTipChanged(const std::string&) override {}

    void OnReport(const std::string& strText) override {
        FlushLog();
        WriteText(stderr, strText + "\n");
    }

    void OnCapaHint() override {
        FlushLog();
        WriteText(stderr,
                  "posternd: a mail client asked for capabilities (CAPA) and was disconnected;"
                  " start posternd with --answer-capa to answer it\n");
    }

    void OnSessionLog(const std::string& strLine) override {
        if (m_bQuiet)
            return;
        m_strLog += strLine;
        m_strLog += '\n';
        if (m_strLog.size() >= kLogFlushSize)
            FlushLog();
    }

    void FlushLog() {
        if (m_strLog.empty())
            return;
        WriteText(stderr, m_strLog);
        m_strLog.clear();
    }

private:
    static constexpr std::size_t kLogFlushSize = 16 * 1024;

    bool m_bQuiet;
    std::string m_strLog;
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

// On SIGHUP: the settings again, from where they came at start; the command
// line still wins. The listener starts anew, as Apply does in the tray app;
// settings that fail their check, or cannot be listened with, leave the
// running ones in place, and one line says why.
void Reload(const DaemonOptions& options, CProxyRunner& runner, CProxyConfig& running) {
    auto keepRunning = [](const std::string& strWhy) {
        WriteText(stderr,
                  "posternd: settings not reloaded, the running ones stay: " + strWhy + "\n");
    };
    CSettingsStore store = options.strConfigFile ? CSettingsStore::OpenFile(*options.strConfigFile)
                                                 : CSettingsStore(kStoreName);
    if (std::string strFileError; options.strConfigFile && !store.CheckFile(strFileError)) {
        keepRunning(strFileError);
        return;
    }
    SettingProblem problem;
    std::optional<CProxyConfig> config = CProxyConfig::Load(options.values, &store, problem);
    if (!config) {
        keepRunning(store.GetLocation() + ": " + problem.Describe());
        return;
    }
    if (runner.Start(*config)) {
        running = *config;
        return;
    }
    std::string strWhy = runner.GetProblem();
    if (strWhy.empty()) {
        strWhy = "cannot listen " + runner.GetListenFailure();
    }
    runner.Start(running);
    keepRunning(strWhy);
}

}  // namespace

int PosterndMain(int argc, char** argv) {
    GuardProcess();
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
    CStderrEvents events(options.bQuiet);
    CProxyRunner runner(events);
    if (!runner.Start(*config)) {
        if (!runner.GetProblem().empty()) {
            WriteText(stderr, "posternd: " + runner.GetProblem() + "\n");
            return 2;
        }
        WriteText(stderr, "posternd: cannot listen " + runner.GetListenFailure() + "\n");
        return 1;
    }
    if (!NotifyServiceManager("READY=1")) {
        WriteText(stderr, std::string("posternd: cannot tell the service manager it is ready: ") +
                              std::strerror(errno) + "\n");
    }

    while (!stopSignals.IsStopRequested()) {
        loop.RunOnce(-1);
        events.FlushLog();
        if (stopSignals.TakeReloadRequest())
            Reload(options, runner, *config);
    }
    NotifyServiceManager("STOPPING=1");
    runner.Shutdown();
    return 0;
}
