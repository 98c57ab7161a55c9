// TLS to the POP3 server with OpenSSL: a client stream over the session's own
// non-blocking descriptor, checked against the system's trust store, a trust
// file or one pinned certificate.

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <cstring>
#include <mutex>
#include <unordered_map>

#include "socket_platform.h"
#include "tls_client.h"

namespace {

std::string LastSslError() {
    unsigned long nError = ERR_peek_last_error();
    const char* pszReason = nError != 0 ? ERR_reason_error_string(nError) : nullptr;
    ERR_clear_error();
    return pszReason != nullptr ? pszReason : "connection lost";
}

bool Fingerprint(X509* pCert, CertFingerprint& fingerprint) {
    unsigned int nLength = 0;
    return pCert != nullptr &&
           X509_digest(pCert, EVP_sha256(), fingerprint.data(), &nLength) == 1 &&
           nLength == fingerprint.size();
}

// Short words for the reasons a person can act on; OpenSSL's own text otherwise.
const char* VerifyReason(long nResult) {
    switch (nResult) {
        case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
            return "self-signed";
        case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
        case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
        case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
        case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
            return "unknown issuer";
        case X509_V_ERR_HOSTNAME_MISMATCH:
        case X509_V_ERR_IP_ADDRESS_MISMATCH:
            return "issued for another name";
        case X509_V_ERR_CERT_HAS_EXPIRED:
            return "expired";
        case X509_V_ERR_CERT_NOT_YET_VALID:
            return "not yet valid";
        default:
            return X509_verify_cert_error_string(nResult);
    }
}

bool IsNumericAddress(const std::string& strHost) {
    unsigned char address[16];
    return inet_pton(AF_INET, strHost.c_str(), address) == 1 ||
           inet_pton(AF_INET6, strHost.c_str(), address) == 1;
}

class COpenSslContext;

class COpenSslStream final : public IByteStream {
public:
    COpenSslStream(COpenSslContext& context, SSL* pSsl, std::string strSessionKey)
        : m_context(context), m_pSsl(pSsl), m_strSessionKey(std::move(strSessionKey)) {}
    ~COpenSslStream() override { SSL_free(m_pSsl); }

    static COpenSslStream* Of(SSL* pSsl);

    void Start(SOCKET h) { Handshake(h); }

    std::ptrdiff_t Read(SOCKET h, void* p, std::size_t n, int& nError) override;
    std::ptrdiff_t Write(SOCKET h, const void* p, std::size_t n, int& nError) override;
    // With read-ahead, records not yet decrypted wait in OpenSSL too.
    std::size_t Held() const override {
        return std::max<std::size_t>(std::size_t(SSL_pending(m_pSsl)), SSL_has_pending(m_pSsl));
    }
    std::uint32_t Interest(std::uint32_t nWanted) const override;
    std::uint32_t Readiness(std::uint32_t nReady) const override;
    bool ShutdownSending(SOCKET h) override;
    bool HasUnread(SOCKET h) const override;
    bool HasUnacked(SOCKET h) const override;
    const char* FailureText() const override {
        return m_strFailure.empty() ? nullptr : m_strFailure.c_str();
    }

    const CertFingerprint* Refused() const { return m_bRefused ? &m_peer : nullptr; }
    const std::string& SessionKey() const { return m_strSessionKey; }

    // The verify callback's work for this connection.
    int Verify(int nPreverified, X509_STORE_CTX* pStore);

private:
    // What SSL_get_error said after a call that did not complete: the kernel
    // readiness it waits for, or a failure (returns false).
    bool Blocked(int nResult, std::uint32_t& nBlockedOn, int& nError);
    void Handshake(SOCKET h);
    void Fail(std::string strReason);

    COpenSslContext& m_context;
    SSL* m_pSsl;
    std::string m_strSessionKey;
    std::string m_strFailure;
    CertFingerprint m_peer{};
    std::uint32_t m_nReadBlockedOn = 0;   // what the last read waits for
    std::uint32_t m_nWriteBlockedOn = 0;  // what the last write waits for
    bool m_bRefused = false;
    bool m_bFailed = false;
    bool m_bShutdownSent = false;
};

class COpenSslContext final : public CTlsClientContext {
public:
    COpenSslContext(SSL_CTX* pContext, bool bPinned, const CertFingerprint& pinned)
        : m_pContext(pContext), m_bPinned(bPinned), m_pinned(pinned) {}
    ~COpenSslContext() override {
        for (auto& [strKey, pSession] : m_sessions) SSL_SESSION_free(pSession);
        SSL_CTX_free(m_pContext);
    }

    std::unique_ptr<IByteStream> Connect(SOCKET h, const std::string& strHost, int nPort) override;

    bool IsPinned() const { return m_bPinned; }
    const CertFingerprint& Pinned() const { return m_pinned; }
    // Keeps the server's newest session, so the next login resumes it.
    void Remember(const std::string& strKey, SSL_SESSION* pSession);

    static int s_nStreamIndex;

private:
    SSL_CTX* m_pContext;
    bool m_bPinned;
    CertFingerprint m_pinned;
    std::unordered_map<std::string, SSL_SESSION*> m_sessions;
};

int COpenSslContext::s_nStreamIndex = -1;

COpenSslStream* COpenSslStream::Of(SSL* pSsl) {
    return static_cast<COpenSslStream*>(SSL_get_ex_data(pSsl, COpenSslContext::s_nStreamIndex));
}

int VerifyCallback(int nPreverified, X509_STORE_CTX* pStore) {
    auto* pSsl =
        static_cast<SSL*>(X509_STORE_CTX_get_ex_data(pStore, SSL_get_ex_data_X509_STORE_CTX_idx()));
    COpenSslStream* pStream = pSsl != nullptr ? COpenSslStream::Of(pSsl) : nullptr;
    return pStream != nullptr ? pStream->Verify(nPreverified, pStore) : 0;
}

int NewSessionCallback(SSL* pSsl, SSL_SESSION* pSession) {
    COpenSslStream* pStream = COpenSslStream::Of(pSsl);
    if (pStream == nullptr)
        return 0;
    SSL_CTX* pContext = SSL_get_SSL_CTX(pSsl);
    auto* pOwner = static_cast<COpenSslContext*>(SSL_CTX_get_app_data(pContext));
    pOwner->Remember(pStream->SessionKey(), pSession);
    return 1;  // the reference is ours now
}

int COpenSslStream::Verify(int nPreverified, X509_STORE_CTX* pStore) {
    X509* pLeaf = X509_STORE_CTX_get0_cert(pStore);
    CertFingerprint peer{};
    if (!Fingerprint(pLeaf, peer)) {
        return 0;
    }
    m_peer = peer;
    if (m_context.IsPinned()) {
        // Exactly that certificate, whoever issued it and whatever name it bears.
        if (peer == m_context.Pinned())
            return 1;
        m_bRefused = true;
        Fail("certificate not trusted: not the one pinned; SHA-256 " + FormatFingerprint(peer));
        return 0;
    }
    if (nPreverified == 1)
        return 1;
    m_bRefused = true;
    Fail(std::string("certificate not trusted: ") + VerifyReason(X509_STORE_CTX_get_error(pStore)) +
         "; SHA-256 " + FormatFingerprint(peer));
    return 0;
}

void COpenSslStream::Fail(std::string strReason) {
    if (m_strFailure.empty())
        m_strFailure = std::move(strReason);
    m_bFailed = true;
}

bool COpenSslStream::Blocked(int nResult, std::uint32_t& nBlockedOn, int& nError) {
    switch (SSL_get_error(m_pSsl, nResult)) {
        case SSL_ERROR_WANT_READ:
            nBlockedOn = sys::kIn;
            nError = WSAEWOULDBLOCK;
            return true;
        case SSL_ERROR_WANT_WRITE:
            nBlockedOn = sys::kOut;
            nError = WSAEWOULDBLOCK;
            return true;
        case SSL_ERROR_SYSCALL: {
            int nSystem = sys::LastError();
            if (nSystem == sys::kErrInterrupted) {
                nBlockedOn = 0;
                nError = WSAEWOULDBLOCK;
                return true;
            }
            if (nSystem != 0) {
                nError = nSystem;
                ERR_clear_error();
                Fail(std::string("TLS connection failed: ") + std::strerror(nSystem));
                return false;
            }
            [[fallthrough]];
        }
        default:
            nError = sys::kErrNotConnected;
            Fail((SSL_is_init_finished(m_pSsl) ? "TLS connection failed: "
                                               : "TLS handshake failed: ") +
                 LastSslError());
            return false;
    }
}

void COpenSslStream::Handshake(SOCKET) {
    ERR_clear_error();
    int nResult = SSL_do_handshake(m_pSsl);
    if (nResult == 1) {
        m_nReadBlockedOn = m_nWriteBlockedOn = 0;
        return;
    }
    int nError = 0;
    std::uint32_t nBlockedOn = 0;
    if (Blocked(nResult, nBlockedOn, nError)) {
        m_nReadBlockedOn = m_nWriteBlockedOn = nBlockedOn;
    }
}

std::ptrdiff_t COpenSslStream::Read(SOCKET, void* p, std::size_t n, int& nError) {
    if (m_bFailed) {
        nError = sys::kErrNotConnected;
        return -1;
    }
    std::size_t nTotal = 0;
    while (nTotal < n) {
        std::size_t nRead = 0;
        ERR_clear_error();
        int nResult = SSL_read_ex(m_pSsl, static_cast<char*>(p) + nTotal, n - nTotal, &nRead);
        if (nResult == 1) {
            nTotal += nRead;
            m_nReadBlockedOn = 0;
            continue;
        }
        if (SSL_get_error(m_pSsl, nResult) == SSL_ERROR_ZERO_RETURN) {
            m_nReadBlockedOn = 0;
            return std::ptrdiff_t(
                nTotal);  // the server's close_notify: the end, after what came before it
        }
        int nCallError = 0;
        if (Blocked(nResult, m_nReadBlockedOn, nCallError)) {
            if (nTotal > 0)
                return std::ptrdiff_t(nTotal);
            nError = nCallError;
            return -1;
        }
        if (nTotal > 0)
            return std::ptrdiff_t(nTotal);  // the failure shows at the next read
        nError = nCallError;
        return -1;
    }
    return std::ptrdiff_t(nTotal);
}

std::ptrdiff_t COpenSslStream::Write(SOCKET, const void* p, std::size_t n, int& nError) {
    if (m_bFailed || m_bShutdownSent) {
        nError = sys::kErrNotConnected;
        return -1;
    }
    std::size_t nWritten = 0;
    ERR_clear_error();
    int nResult = SSL_write_ex(m_pSsl, p, n, &nWritten);
    if (nResult == 1) {
        m_nWriteBlockedOn = 0;
        return std::ptrdiff_t(nWritten);
    }
    if (Blocked(nResult, m_nWriteBlockedOn, nError))
        return 0;
    return -1;
}

std::uint32_t COpenSslStream::Interest(std::uint32_t nWanted) const {
    if (m_bFailed) {
        // Any readiness will do: the caller's next call hears the failure.
        return sys::kIn | sys::kOut;
    }
    std::uint32_t nInterest = nWanted & sys::kRdHup;
    if (!SSL_is_init_finished(m_pSsl)) {
        // The handshake goes on whatever the caller wants.
        return nInterest | (m_nReadBlockedOn != 0 ? m_nReadBlockedOn : sys::kIn);
    }
    if (nWanted & sys::kIn)
        nInterest |= m_nReadBlockedOn != 0 ? m_nReadBlockedOn : std::uint32_t(sys::kIn);
    if (nWanted & sys::kOut)
        nInterest |= m_nWriteBlockedOn != 0 ? m_nWriteBlockedOn : std::uint32_t(sys::kOut);
    return nInterest;
}

std::uint32_t COpenSslStream::Readiness(std::uint32_t nReady) const {
    if (m_bFailed && (nReady & (sys::kIn | sys::kOut)))
        return nReady | sys::kIn | sys::kOut;
    std::uint32_t nGoes = nReady & ~std::uint32_t(sys::kIn | sys::kOut);
    std::uint32_t nRead = m_nReadBlockedOn != 0 ? m_nReadBlockedOn : std::uint32_t(sys::kIn);
    std::uint32_t nWrite = m_nWriteBlockedOn != 0 ? m_nWriteBlockedOn : std::uint32_t(sys::kOut);
    if (nReady & nRead)
        nGoes |= sys::kIn;
    if (nReady & nWrite)
        nGoes |= sys::kOut;
    return nGoes;
}

bool COpenSslStream::ShutdownSending(SOCKET h) {
    if (!m_bShutdownSent && !m_bFailed && SSL_is_init_finished(m_pSsl)) {
        ERR_clear_error();
        int nResult = SSL_shutdown(m_pSsl);
        if (nResult < 0) {
            int nError = 0;
            std::uint32_t nBlockedOn = 0;
            if (Blocked(nResult, nBlockedOn, nError) && nBlockedOn == sys::kOut)
                return false;  // the close_notify waits for room
        }
    }
    m_bShutdownSent = true;
    sys::ShutdownSending(h);
    return true;
}

bool COpenSslStream::HasUnread(SOCKET h) const {
    int nUnread = 0;
    return Held() > 0 || !sys::UnreadBytes(h, nUnread) || nUnread != 0;
}

bool COpenSslStream::HasUnacked(SOCKET h) const {
    int nUnsent = 0;
    // An established connection is closed with a close_notify, so it always lingers.
    return (SSL_is_init_finished(m_pSsl) && !m_bShutdownSent && !m_bFailed) ||
           !sys::UnackedBytes(h, nUnsent) || nUnsent != 0;
}

void COpenSslContext::Remember(const std::string& strKey, SSL_SESSION* pSession) {
    SSL_SESSION*& pKept = m_sessions[strKey];
    if (pKept != nullptr)
        SSL_SESSION_free(pKept);
    pKept = pSession;
}

std::unique_ptr<IByteStream> COpenSslContext::Connect(SOCKET h, const std::string& strHost,
                                                      int nPort) {
    SSL* pSsl = SSL_new(m_pContext);
    if (pSsl == nullptr)
        return nullptr;
    std::string strKey = strHost + ":" + std::to_string(nPort);
    auto pStream = std::make_unique<COpenSslStream>(*this, pSsl, strKey);
    SSL_set_ex_data(pSsl, s_nStreamIndex, pStream.get());
    SSL_set_fd(pSsl, int(h));
    SSL_set_connect_state(pSsl);
    if (IsNumericAddress(strHost)) {
        X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(pSsl), strHost.c_str());
    } else {
        SSL_set_tlsext_host_name(pSsl, strHost.c_str());
        SSL_set1_host(pSsl, strHost.c_str());
    }
    if (auto it = m_sessions.find(strKey); it != m_sessions.end()) {
        SSL_set_session(pSsl, it->second);
    }
    pStream->Start(h);
    return pStream;
}

}  // namespace

std::shared_ptr<CTlsClientContext> CTlsClientContext::Make(const TlsTrust& trust,
                                                           std::string& strError) {
    static std::once_flag s_once;
    std::call_once(s_once, [] {
        COpenSslContext::s_nStreamIndex =
            SSL_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
    });
    CertFingerprint pinned{};
    bool bPinned = !trust.strFingerprint.empty();
    if (bPinned && !ParseFingerprint(trust.strFingerprint, pinned)) {
        strError = "'" + trust.strFingerprint + "' is not a SHA-256 fingerprint";
        return nullptr;
    }
    SSL_CTX* pContext = SSL_CTX_new(TLS_client_method());
    if (pContext == nullptr) {
        strError = LastSslError();
        return nullptr;
    }
    SSL_CTX_set_min_proto_version(pContext, TLS1_2_VERSION);
    // Idle sessions give their buffers back; writes may be retried from a
    // queue that has moved; POP3 servers often close without a close_notify,
    // and a POP3 reply carries its own end, so that is an end, not an attack.
    SSL_CTX_set_mode(pContext, SSL_MODE_RELEASE_BUFFERS | SSL_MODE_ENABLE_PARTIAL_WRITE |
                                   SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    SSL_CTX_set_options(pContext, SSL_OP_IGNORE_UNEXPECTED_EOF);
    // Whole socket reads rather than a header and then a body per record.
    SSL_CTX_set_read_ahead(pContext, 1);
    SSL_CTX_set_verify(pContext, SSL_VERIFY_PEER, VerifyCallback);
    SSL_CTX_set_session_cache_mode(pContext,
                                   SSL_SESS_CACHE_CLIENT | SSL_SESS_CACHE_NO_INTERNAL_STORE);
    SSL_CTX_sess_set_new_cb(pContext, NewSessionCallback);
    if (!bPinned) {
        bool bLoaded =
            trust.strTrustFile.empty()
                ? SSL_CTX_set_default_verify_paths(pContext) == 1
                : SSL_CTX_load_verify_locations(pContext, trust.strTrustFile.c_str(), nullptr) == 1;
        if (!bLoaded) {
            strError = "cannot read the trust file " + trust.strTrustFile + ": " + LastSslError();
            SSL_CTX_free(pContext);
            return nullptr;
        }
    }
    auto pOwner = std::make_shared<COpenSslContext>(pContext, bPinned, pinned);
    SSL_CTX_set_app_data(pContext, pOwner.get());
    return pOwner;
}

const CertFingerprint* RefusedCertificate(const IByteStream& stream) {
    auto* pStream = dynamic_cast<const COpenSslStream*>(&stream);
    return pStream != nullptr ? pStream->Refused() : nullptr;
}
