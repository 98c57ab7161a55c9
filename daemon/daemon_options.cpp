#include "daemon_options.h"

#include <cstdlib>
#include <cstring>

const char kDaemonUsage[] =
    "Usage: posternd [--host NAME] [--host-port N] [--local-port N] [--answer-capa]\n"
    "                [--config FILE]\n"
    "\n"
    "Waits for mail clients on the local port, takes their USER and PASS, and logs\n"
    "in to the POP3 server NAME with APOP, so the password never crosses the network.\n"
    "\n"
    "  --host NAME        POP3 server host name or address\n"
    "  --host-port N      POP3 server port (default 110)\n"
    "  --local-port N     port the mail client connects to (default 110)\n"
    "  --answer-capa      answer capability queries (CAPA) before the login, as\n"
    "                     Thunderbird, Evolution, mutt, curl and mpop need\n"
    "  --config FILE      take the settings from FILE's [Settings] section\n"
    "                     instead of those of the tray app\n"
    "  --help             show this help and exit\n"
    "  --version          show the version and exit\n"
    "\n"
    "Options left out are taken from the settings saved in the tray app postern\n"
    "(~/.config/quill/Postern/postern.conf, or under $XDG_CONFIG_HOME).\n";

namespace {

bool ParsePort(const char* pszName, const char* pszText, std::optional<int>& nPort,
               std::string& strError) {
    char* pEnd = nullptr;
    errno = 0;
    long nValue = std::strtol(pszText, &pEnd, 10);
    if (*pszText == '\0' || *pEnd != '\0' || errno != 0 || nValue < 1 || nValue > 65535) {
        strError = std::string(pszName) + " wants a port from 1 to 65535, not '" + pszText + "'";
        return false;
    }
    nPort = int(nValue);
    return true;
}

}  // namespace

bool ParseDaemonOptions(int argc, char** argv, DaemonOptions& options, std::string& strError) {
    for (int i = 1; i < argc; ++i) {
        std::string strArg = argv[i];
        std::string strValue;
        bool bHasValue = false;
        if (auto nEquals = strArg.find('=');
            strArg.rfind("--", 0) == 0 && nEquals != std::string::npos) {
            strValue = strArg.substr(nEquals + 1);
            strArg.resize(nEquals);
            bHasValue = true;
        }
        if (strArg == "--help" || strArg == "-h") {
            options.bHelp = true;
            continue;
        }
        if (strArg == "--version") {
            options.bVersion = true;
            continue;
        }
        if (strArg == "--answer-capa") {
            if (bHasValue) {
                strError = "--answer-capa takes no value";
                return false;
            }
            options.bAnswerCapa = true;
            continue;
        }
        if (strArg != "--host" && strArg != "--host-port" && strArg != "--local-port" &&
            strArg != "--config") {
            strError = "unknown option '" + std::string(argv[i]) + "'";
            return false;
        }
        if (!bHasValue) {
            if (i + 1 >= argc) {
                strError = strArg + " needs a value";
                return false;
            }
            strValue = argv[++i];
        }
        if (strArg == "--host") {
            if (strValue.empty()) {
                strError = "--host needs a host name";
                return false;
            }
            options.strHostName = strValue;
        } else if (strArg == "--config") {
            if (strValue.empty()) {
                strError = "--config needs a file name";
                return false;
            }
            options.strConfigFile = strValue;
        } else if (!ParsePort(strArg.c_str(), strValue.c_str(),
                              strArg == "--host-port" ? options.nHostPort : options.nLocalPort,
                              strError)) {
            return false;
        }
    }
    return true;
}
