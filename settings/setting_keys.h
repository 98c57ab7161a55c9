#pragma once

#include <span>
#include <string_view>

// A command-line option of posternd that sets a setting: with an argument
// (pszArgument names it in the usage), or alone, setting nValue.
struct SettingOption {
    const char* pszName = "";
    const char* pszArgument = nullptr;  // null: the option takes no value
    int nValue = 0;                     // what an option without an argument sets
    const char* pszHelp = "";
};

// Every stored setting in one table: where it lives in the store, what it
// holds, what it reads as when it is absent, what a good value is, and the
// options that set it. The dialogs, posternd and its settings file check all
// go through it, so a new setting is a row here (and in kAll), a line where
// CProxyRunner hands it to the proxy, and a control in each dialog.
struct SettingKey {
    enum Type { Text, Int };
    const char* pszSection = "Settings";
    const char* pszEntry = "";
    Type nType = Text;
    int nDefault = 0;  // for Int; a Text setting defaults to empty
    // What messages call it, such as "local port".
    const char* pszLabel = "";
    // For Int: the good values. For Int, and Text with a check: how a message names them.
    int nMin = 0;
    int nMax = 0;
    const char* pszRange = "";
    // For Text: whether the proxy cannot run while it is empty, and the check
    // a value that is not empty must pass (null: any text).
    bool bRequired = false;
    bool (*pfnCheck)(std::string_view strValue) = nullptr;
    std::span<const SettingOption> options;
};

namespace setting {

// A TCP port, 110 (POP3's) unless set.
constexpr SettingKey Port(const char* pszEntry, const char* pszLabel,
                          std::span<const SettingOption> options) {
    return {.pszEntry = pszEntry,
            .nType = SettingKey::Int,
            .nDefault = 110,
            .pszLabel = pszLabel,
            .nMin = 1,
            .nMax = 65535,
            .pszRange = "a port from 1 to 65535",
            .options = options};
}

inline constexpr SettingOption kHostNameOptions[] = {
    {.pszName = "--host", .pszArgument = "NAME", .pszHelp = "POP3 server host name or address"}};
inline constexpr SettingKey kHostName{.pszEntry = "HostName",
                                      .pszLabel = "POP3 server",
                                      .bRequired = true,
                                      .options = kHostNameOptions};

inline constexpr SettingOption kHostPortOptions[] = {
    {.pszName = "--host-port", .pszArgument = "N", .pszHelp = "POP3 server port (default 110)"}};
inline constexpr SettingKey kHostPort = Port("HostPort", "host port", kHostPortOptions);

inline constexpr SettingOption kLocalPortOptions[] = {
    {.pszName = "--local-port",
     .pszArgument = "N",
     .pszHelp = "port the mail client connects to (default 110)"}};
inline constexpr SettingKey kLocalPort = Port("LocalPort", "local port", kLocalPortOptions);

// 1: answer CAPA and other commands a mail client sends before USER.
inline constexpr SettingOption kAnswerCapaOptions[] = {
    {.pszName = "--answer-capa",
     .nValue = 1,
     .pszHelp = "answer capability queries (CAPA) before the login, as Thunderbird, Evolution, "
                "mutt, curl and mpop need"}};
inline constexpr SettingKey kAnswerCapa{.pszEntry = "AnswerCapa",
                                        .nType = SettingKey::Int,
                                        .pszLabel = "AnswerCapa",
                                        .nMin = 0,
                                        .nMax = 1,
                                        .pszRange = "0 or 1",
                                        .options = kAnswerCapaOptions};

// How the server is reached: 0 a plain connection (APOP), 1 the STLS upgrade
// on the plain port, 2 TLS from the first byte (POP3S, port 995 unless set).
inline constexpr SettingOption kServerTlsOptions[] = {
    {.pszName = "--starttls",
     .nValue = 1,
     .pszHelp = "upgrade the connection to the POP3 server to TLS with STLS"},
    {.pszName = "--tls",
     .nValue = 2,
     .pszHelp = "speak TLS to the POP3 server from the first byte (POP3S; its port is 995 "
                "unless given)"}};
inline constexpr SettingKey kServerTls{.pszEntry = "ServerTls",
                                       .nType = SettingKey::Int,
                                       .pszLabel = "ServerTls",
                                       .nMin = 0,
                                       .nMax = 2,
                                       .pszRange = "0, 1 or 2",
                                       .options = kServerTlsOptions};
// The POP3S port, where ServerTls is 2 and no port is set.
inline constexpr int kTlsPort = 995;

inline constexpr SettingOption kTlsTrustFileOptions[] = {
    {.pszName = "--tls-trust-file",
     .pszArgument = "FILE",
     .pszHelp = "trust the CA certificates in the PEM file FILE instead of the system's"}};
inline constexpr SettingKey kTlsTrustFile{
    .pszEntry = "TlsTrustFile", .pszLabel = "TLS trust file", .options = kTlsTrustFileOptions};

inline constexpr SettingOption kTlsFingerprintOptions[] = {
    {.pszName = "--tls-fingerprint",
     .pszArgument = "SHA256",
     .pszHelp = "accept exactly the server certificate with this SHA-256 fingerprint (hex, "
                "colons optional), such as a home server's self-signed one"}};
inline constexpr SettingKey kTlsFingerprint{
    .pszEntry = "TlsFingerprint", .pszLabel = "TLS fingerprint", .options = kTlsFingerprintOptions};

// Where mail clients are taken: every interface when empty, one numeric
// address of this machine, or kLocalhost for both loopback addresses.
inline constexpr char kLocalhost[] = "localhost";
bool IsListenAddress(std::string_view strAddress);
// Whether mail clients of other computers cannot reach that listen address.
bool IsLoopbackOnly(std::string_view strAddress);
inline constexpr SettingOption kListenAddressOptions[] = {
    {.pszName = "--listen",
     .pszArgument = "ADDRESS",
     .pszHelp = "take mail clients on this address of the machine only, such as 127.0.0.1 or ::1; "
                "localhost for both (default: every interface)"}};
inline constexpr SettingKey kListenAddress{
    .pszEntry = "ListenAddress",
    .pszLabel = "listen address",
    .pszRange = "an IP address (such as 127.0.0.1 or ::1) or localhost",
    .pfnCheck = IsListenAddress,
    .options = kListenAddressOptions};

// Every key above, in the order posternd's usage lists their options.
inline constexpr const SettingKey* kAll[] = {&kHostName,       &kHostPort,     &kLocalPort,
                                             &kAnswerCapa,     &kServerTls,    &kTlsTrustFile,
                                             &kTlsFingerprint, &kListenAddress};

}  // namespace setting
