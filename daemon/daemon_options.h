#pragma once

#include <optional>
#include <string>

#include "proxy_config.h"

// What posternd was asked to do on its command line.
struct DaemonOptions {
    SettingValues values;  // the settings its options give
    std::optional<std::string> strConfigFile;
    bool bHelp = false;
    bool bVersion = false;
    bool bQuiet = false;  // reports only, no session log
};

// Parses the arguments; on a bad option returns false with a message for the user.
bool ParseDaemonOptions(int argc, char** argv, DaemonOptions& options, std::string& strError);

// The text of --help: the settings' options from the table, then posternd's own.
std::string DaemonUsage();
