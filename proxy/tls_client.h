#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "byte_stream.h"

// How a server link reaches the POP3 server: a plain connection (APOP only),
// the STLS upgrade of RFC 2595 on the plain port, or TLS from the first byte
// (POP3S).
enum class ServerTls : std::uint8_t { Plain = 0, StartTls = 1, Tls = 2 };

using CertFingerprint = std::array<unsigned char, 32>;  // SHA-256 of the certificate

// "AB:CD:...", as openssl x509 -fingerprint -sha256 writes it.
std::string FormatFingerprint(const CertFingerprint& fingerprint);
// Hex digits, colons (or spaces) between the bytes optional, any case.
bool ParseFingerprint(std::string_view text, CertFingerprint& fingerprint);

// What the server's certificate is checked against: the system's trust store,
// or the CA certificates of a PEM file, and the host name; or, with a
// fingerprint, exactly that one certificate (a home server's self-signed one).
struct TlsTrust {
    std::string strTrustFile;
    std::string strFingerprint;
};

// What every TLS connection of a listener shares: the trust, loaded once, and
// the server's session to resume. OpenSSL on Linux, SChannel on Windows.
class CTlsClientContext {
public:
    // Null, with the reason in strError, when the trust file cannot be read or
    // the fingerprint is not one.
    static std::shared_ptr<CTlsClientContext> Make(const TlsTrust& trust, std::string& strError);
    virtual ~CTlsClientContext() = default;

    // A TLS client over the connected descriptor h; the handshake starts at
    // once. strHost is checked against the certificate (and sent as SNI).
    virtual std::unique_ptr<IByteStream> Connect(SOCKET h, const std::string& strHost,
                                                 int nPort) = 0;
};

// How the sessions of a listener reach the server over TLS, shared as the host name is.
struct ServerTlsSettings {
    ServerTls nMode = ServerTls::Plain;
    std::shared_ptr<CTlsClientContext> pContext;
};
using SharedTls = std::shared_ptr<const ServerTlsSettings>;

// What a TLS stream tells of a certificate it refused (IByteStream::FailureText
// gives the whole reason); null when the stream refused none.
const CertFingerprint* RefusedCertificate(const IByteStream& stream);
