#include "daemon_options.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <string_view>
#include <vector>

namespace {

constexpr std::size_t kWidth = 79;
constexpr std::size_t kHelpColumn = 21;

// posternd's own options, beside those of the settings.
constexpr SettingOption kConfigOption{
    .pszName = "--config",
    .pszArgument = "FILE",
    .pszHelp = "take the settings from FILE's [Settings] section instead of those of the tray app"};
constexpr SettingOption kQuietOption{
    .pszName = "--quiet",
    .pszHelp =
        "write only reports to standard error, no line for each session's start, login "
        "and end"};
constexpr SettingOption kOwnOptions[] = {
    kConfigOption,
    kQuietOption,
    {.pszName = "--help", .pszHelp = "show this help and exit"},
    {.pszName = "--version", .pszHelp = "show the version and exit"},
};

// "--name ARGUMENT" between before and after. Built by appending: GCC 12 at -O3
// takes a literal put in front of a temporary string for an overlapping copy.
std::string Synopsis(const SettingOption& option, std::string_view before = {},
                     std::string_view after = {}) {
    std::string strSynopsis(before);
    strSynopsis += option.pszName;
    if (option.pszArgument != nullptr) {
        strSynopsis += ' ';
        strSynopsis += option.pszArgument;
    }
    strSynopsis += after;
    return strSynopsis;
}

std::vector<std::string> Words(const std::string& strText) {
    std::vector<std::string> words;
    for (std::size_t nBegin = 0; nBegin < strText.size();) {
        std::size_t nEnd = std::min(strText.find(' ', nBegin), strText.size());
        words.push_back(strText.substr(nBegin, nEnd - nBegin));
        nBegin = nEnd + 1;
    }
    return words;
}

// Appends the words, one blank apart, after what strOut holds, breaking lines
// before kWidth and starting each new one with nIndent blanks.
void AppendWrapped(std::string& strOut, std::size_t nIndent,
                   const std::vector<std::string>& words) {
    std::size_t nColumn = strOut.size() - (strOut.rfind('\n') + 1);
    for (std::size_t i = 0; i < words.size(); ++i) {
        if (i > 0 && nColumn + 1 + words[i].size() > kWidth) {
            strOut += '\n';
            strOut.append(nIndent, ' ');
            nColumn = nIndent;
        } else if (i > 0) {
            strOut += ' ';
            ++nColumn;
        }
        strOut += words[i];
        nColumn += words[i].size();
    }
}

void AppendHelp(std::string& strOut, const SettingOption& option) {
    std::string strHead = Synopsis(option, "  ");
    if (strHead.size() >= kHelpColumn) {
        strHead += "\n";  // the help starts on a line of its own
        strHead.resize(strHead.size() + kHelpColumn, ' ');
    } else {
        strHead.resize(kHelpColumn, ' ');
    }
    strOut += strHead;
    AppendWrapped(strOut, kHelpColumn, Words(option.pszHelp));
    strOut += '\n';
}

// The setting's option of that name, or null.
const SettingOption* FindOption(const std::string& strName, const SettingKey*& pKey) {
    for (const SettingKey* pEach : setting::kAll) {
        for (const SettingOption& option : pEach->options) {
            if (strName == option.pszName) {
                pKey = pEach;
                return &option;
            }
        }
    }
    return nullptr;
}

// A number as a person types one on a command line: digits only, nothing around.
bool ParseNumber(const std::string& strText, int& nValue) {
    char* pEnd = nullptr;
    errno = 0;
    long long nLong = std::strtoll(strText.c_str(), &pEnd, 10);
    if (strText.empty() || *pEnd != '\0' || errno != 0 || nLong < INT_MIN || nLong > INT_MAX) {
        return false;
    }
    nValue = int(nLong);
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
        if (strArg == kQuietOption.pszName) {
            if (bHasValue) {
                strError = strArg + " takes no value";
                return false;
            }
            options.bQuiet = true;
            continue;
        }
        const SettingKey* pKey = nullptr;
        const SettingOption* pOption =
            strArg == kConfigOption.pszName ? &kConfigOption : FindOption(strArg, pKey);
        if (pOption == nullptr) {
            strError = "unknown option '" + std::string(argv[i]) + "'";
            return false;
        }
        if (pOption->pszArgument == nullptr) {
            if (bHasValue) {
                strError = strArg + " takes no value";
                return false;
            }
            options.values.Set(*pKey, std::to_string(pOption->nValue));
            continue;
        }
        if (!bHasValue) {
            if (i + 1 >= argc) {
                strError = strArg + " needs a value";
                return false;
            }
            strValue = argv[++i];
        }
        if (strValue.empty() && (pKey == nullptr || pKey->nType == SettingKey::Text)) {
            strError = strArg + " needs a value";
            return false;
        }
        if (pKey == nullptr) {
            options.strConfigFile = strValue;
            continue;
        }
        int nValue = 0;
        bool bGood =
            pKey->nType == SettingKey::Int
                ? ParseNumber(strValue, nValue) && nValue >= pKey->nMin && nValue <= pKey->nMax
                : PassesCheck(*pKey, strValue);
        if (!bGood) {
            strError = strArg + " wants " + pKey->pszRange + ", not '" + strValue + "'";
            return false;
        }
        options.values.Set(*pKey, strValue);
    }
    return true;
}

std::string DaemonUsage() {
    std::vector<std::string> synopsis{"Usage: posternd"};
    for (const SettingKey* pKey : setting::kAll) {
        for (const SettingOption& option : pKey->options) {
            synopsis.push_back(Synopsis(option, "[", "]"));
        }
    }
    synopsis.push_back(Synopsis(kConfigOption, "[", "]"));
    synopsis.push_back(Synopsis(kQuietOption, "[", "]"));
    std::string strUsage;
    AppendWrapped(strUsage, 16, synopsis);
    strUsage +=
        "\n\n"
        "Waits for mail clients on the local port, takes their USER and PASS, and logs\n"
        "in to the POP3 server NAME with APOP, so the password never crosses the network;\n"
        "with --starttls or --tls over TLS, where a server without APOP gets USER and\n"
        "PASS inside the checked TLS connection only.\n"
        "\n";
    for (const SettingKey* pKey : setting::kAll) {
        for (const SettingOption& option : pKey->options) {
            AppendHelp(strUsage, option);
        }
    }
    for (const SettingOption& option : kOwnOptions) {
        AppendHelp(strUsage, option);
    }
    strUsage +=
        "\n"
        "Options left out are taken from the settings saved in the tray app postern\n"
        "(~/.config/quill/Postern/postern.conf, or under $XDG_CONFIG_HOME).\n";
    return strUsage;
}
