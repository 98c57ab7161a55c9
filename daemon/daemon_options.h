#pragma once

#include <optional>
#include <string>

// What posternd was asked to do on its command line.
struct DaemonOptions {
    std::optional<std::string> strHostName;
    std::optional<int> nHostPort;
    std::optional<int> nLocalPort;
    bool bAnswerCapa = false;
    std::optional<std::string> strConfigFile;
    bool bHelp = false;
    bool bVersion = false;
};

// Parses the arguments; on a bad option returns false with a message for the user.
bool ParseDaemonOptions(int argc, char** argv, DaemonOptions& options, std::string& strError);

extern const char kDaemonUsage[];
