// TLS to the POP3 server with SChannel, Windows' own TLS: a client stream over
// the session's own non-blocking socket, checked against the system's trust
// store, a trust file or one pinned certificate.
//
// SChannel is told to check no certificate itself (wine's checks none at
// all): the stream checks the chain and the name once the handshake is done,
// before any of the caller's bytes are encrypted and before any are read.

#define SECURITY_WIN32
#define SCHANNEL_USE_BLACKLISTS
#define CERT_CHAIN_PARA_HAS_EXTRA_FIELDS

// The system's headers in the order they need one another (winsock2 and
// windows.h come with socket_platform.h; schannel.h wants subauth.h first).
// clang-format off
#include "socket_platform.h"

#include <bcrypt.h>
#include <wincrypt.h>
#include <security.h>
#include <sspi.h>
#include <subauth.h>
#include <schannel.h>
// clang-format on

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <new>

#include "socket_error_text.h"
#include "tls_client.h"

namespace {

// A TLS record: a 5-byte header, then at most 2^14 bytes of plaintext and what
// the cipher adds (at most 2048 bytes).
constexpr std::size_t kRecordHeader = 5;
constexpr std::size_t kMaxRecordBody = 16384 + 2048;
// The server's handshake messages, gathered until SChannel can take them
// (a long certificate chain spans several records).
constexpr std::size_t kMaxHandshakeInput = 256 * 1024;
// A file of trusted CA certificates is small; this keeps a wrong path (a
// mailbox, say) from being read whole.
constexpr DWORD kMaxTrustFile = 8 * 1024 * 1024;

constexpr unsigned char kAlertRecord = 21;

constexpr ULONG kContextFlags = ISC_REQ_SEQUENCE_DETECT | ISC_REQ_REPLAY_DETECT |
                                ISC_REQ_CONFIDENTIALITY | ISC_REQ_EXTENDED_ERROR |
                                ISC_REQ_ALLOCATE_MEMORY | ISC_REQ_STREAM |
                                ISC_REQ_USE_SUPPLIED_CREDS | ISC_REQ_MANUAL_CRED_VALIDATION;

std::wstring Widen(const std::string& str) {
    if (str.empty())
        return std::wstring();
    int nLength = MultiByteToWideChar(CP_UTF8, 0, str.data(), int(str.size()), nullptr, 0);
    if (nLength <= 0)
        return std::wstring(str.begin(), str.end());
    std::wstring wstr(std::size_t(nLength), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, str.data(), int(str.size()), wstr.data(), nLength);
    return wstr;
}

// The system's words for a Windows or security error, or its number.
std::string SystemText(DWORD nError) {
    char* pszText = nullptr;
    DWORD nLength = FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, nError, 0, reinterpret_cast<char*>(&pszText), 0, nullptr);
    std::string strText = nLength > 0 && pszText != nullptr ? std::string(pszText, nLength) : "";
    LocalFree(pszText);
    while (!strText.empty() && (strText.back() == '\n' || strText.back() == '\r' ||
                                strText.back() == '.' || strText.back() == ' '))
        strText.pop_back();
    char number[32];
    std::snprintf(number, sizeof number, "error 0x%08lX", static_cast<unsigned long>(nError));
    return strText.empty() ? std::string(number) : strText + " (" + number + ")";
}

// Short words for what SChannel reports during a handshake; the system's
// otherwise.
std::string SecurityText(SECURITY_STATUS nStatus) {
    switch (nStatus) {
        case SEC_E_ALGORITHM_MISMATCH:
            return "no protocol version or cipher in common";
        case SEC_E_UNSUPPORTED_FUNCTION:
            return "unsupported protocol";
        case SEC_E_ILLEGAL_MESSAGE:
            return "the server sent an illegal message or an alert";
        case SEC_E_INVALID_TOKEN:
            return "the server sent an invalid message";
        case SEC_E_MESSAGE_ALTERED:
        case SEC_E_DECRYPT_FAILURE:
            return "a record failed its integrity check";
        case SEC_E_INCOMPLETE_CREDENTIALS:
        case SEC_I_INCOMPLETE_CREDENTIALS:
            return "the server wants a client certificate";
        case SEC_E_INTERNAL_ERROR:
            return "internal error of the system's TLS (no protocol version in common?)";
        default:
            return SystemText(DWORD(nStatus));
    }
}

// Memory that a connection gives back while it is idle.
class CBuffer {
public:
    char* Data() { return m_p.get(); }
    const char* Data() const { return m_p.get(); }
    std::size_t Capacity() const { return m_nCapacity; }
    // Room for n bytes, keeping the first nKeep; false when memory is short.
    bool Reserve(std::size_t n, std::size_t nKeep) {
        if (n <= m_nCapacity)
            return true;
        std::unique_ptr<char[]> p(new (std::nothrow) char[n]);
        if (!p)
            return false;
        if (nKeep > 0)
            std::memcpy(p.get(), m_p.get(), nKeep);
        m_p = std::move(p);
        m_nCapacity = n;
        return true;
    }
    void Release() {
        m_p.reset();
        m_nCapacity = 0;
    }

private:
    std::unique_ptr<char[]> m_p;
    std::size_t m_nCapacity = 0;
};

// The body length a record header announces; false when the bytes are no TLS
// record header.
bool RecordBodyLength(const char* pHeader, std::size_t& nLength) {
    auto nType = static_cast<unsigned char>(pHeader[0]);
    auto nMajor = static_cast<unsigned char>(pHeader[1]);
    nLength = std::size_t(static_cast<unsigned char>(pHeader[3])) << 8 |
              static_cast<unsigned char>(pHeader[4]);
    return nType >= 20 && nType <= 23 && nMajor == 3 && nLength <= kMaxRecordBody;
}

class CSchannelContext;

class CSchannelStream final : public IByteStream {
public:
    CSchannelStream(std::shared_ptr<CSchannelContext> pContext, std::wstring strHost)
        : m_pContext(std::move(pContext)), m_strHost(std::move(strHost)) {}
    ~CSchannelStream() override {
        if (m_bHaveContext)
            DeleteSecurityContext(&m_hContext);
    }

    void Start(SOCKET h) {
        Step();
        Handshake(h);
    }

    std::ptrdiff_t Read(SOCKET h, void* p, std::size_t n, int& nError) override;
    std::ptrdiff_t Write(SOCKET h, const void* p, std::size_t n, int& nError) override;
    std::size_t Held() const override;
    std::uint32_t Interest(std::uint32_t nWanted) const override;
    std::uint32_t Readiness(std::uint32_t nReady) const override;
    bool ShutdownSending(SOCKET h) override;
    bool HasUnread(SOCKET h) const override;
    bool HasUnacked(SOCKET h) const override;
    const char* FailureText() const override {
        if (!m_strFailure.empty())
            return m_strFailure.c_str();
        return m_state == State::Failed ? "TLS connection failed: out of memory" : nullptr;
    }

    const CertFingerprint* Refused() const { return m_bRefused ? &m_peer : nullptr; }

private:
    enum class State : std::uint8_t { Handshake, Open, Failed };
    enum class Received : std::uint8_t { Some, Blocked, Ended, Broken, Invalid, TooLong };

    std::ptrdiff_t DoRead(SOCKET h, char* p, std::size_t n, int& nError);
    std::ptrdiff_t DoWrite(SOCKET h, const char* p, std::size_t n, int& nError);
    bool DoShutdownSending(SOCKET h);

    // Drives the handshake as far as the socket lets it.
    void Handshake(SOCKET h);
    // One InitializeSecurityContextW over the bytes received so far.
    void Step();
    // The server's certificate, when SChannel has finished its part.
    bool CheckPeer();
    void Decrypt(SOCKET h, char* p, std::size_t n, std::size_t& nTotal);
    // Encrypts n bytes (at most one record) into the send buffer.
    bool Encrypt(const char* p, std::size_t n);
    void QueueCloseNotify();

    // Sends what is queued; false when the connection is broken.
    bool Flush(SOCKET h, int& nError);
    bool Queue(const void* p, std::size_t n);
    // Takes bytes from the socket, no more than the record being received
    // needs, so the kernel still signals the records after it.
    Received Receive(SOCKET h, int& nError);
    // Where the first record not wholly received starts (the end when none).
    std::size_t IncompleteRecord() const;
    bool FirstRecordComplete() const { return m_nIn > 0 && IncompleteRecord() > 0; }
    std::size_t TakePlain(char* p, std::size_t n);
    void ReleaseIdle();

    bool Handshaken() const { return m_bChecked; }
    void Fail(const std::string& strReason, int nError);
    void FailReceive(Received received, int nError);

    std::shared_ptr<CSchannelContext> m_pContext;
    std::wstring m_strHost;
    CtxtHandle m_hContext{};
    SecPkgContext_StreamSizes m_sizes{};

    CBuffer m_in;  // encrypted bytes received
    std::size_t m_nIn = 0;
    CBuffer m_out;  // encrypted bytes to send
    std::size_t m_nOutBegin = 0;
    std::size_t m_nOutEnd = 0;
    // The caller's bytes in the record being sent: reported taken once it is out.
    std::size_t m_nPendingPlain = 0;
    CBuffer m_plain;  // decrypted bytes the caller has not taken yet
    std::size_t m_nPlainBegin = 0;
    std::size_t m_nPlainEnd = 0;

    std::string m_strFailure;
    CertFingerprint m_peer{};
    int m_nError = 0;
    std::uint32_t m_nHandshakeWait = sys::kOut;  // what the handshake waits for
    State m_state = State::Handshake;
    bool m_bHaveContext = false;
    bool m_bNeedInput = false;   // the handshake cannot go on before more bytes come
    bool m_bNegotiated = false;  // SChannel has finished the handshake
    bool m_bChecked = false;     // the certificate is trusted
    bool m_bRefused = false;
    bool m_bEnded = false;    // the server's close_notify or end of connection
    bool m_bEndRead = false;  // and a read has returned it
    bool m_bCloseQueued = false;
    bool m_bShutdown = false;
};

class CSchannelContext final : public CTlsClientContext,
                               public std::enable_shared_from_this<CSchannelContext> {
public:
    CSchannelContext(bool bPinned, const CertFingerprint& pinned)
        : m_bPinned(bPinned), m_pinned(pinned) {}
    ~CSchannelContext() override {
        if (m_bHaveCredentials)
            FreeCredentialsHandle(&m_hCredentials);
        if (m_hEngine != nullptr)
            CertFreeCertificateChainEngine(m_hEngine);
        if (m_hRoots != nullptr)
            CertCloseStore(m_hRoots, 0);
        if (m_hSha256 != nullptr)
            BCryptCloseAlgorithmProvider(m_hSha256, 0);
    }

    bool Init(const TlsTrust& trust, std::string& strError);

    std::unique_ptr<IByteStream> Connect(SOCKET h, const std::string& strHost, int nPort) override;

    CredHandle* Credentials() { return &m_hCredentials; }
    bool Fingerprint(PCCERT_CONTEXT pCert, CertFingerprint& fingerprint) const;
    // Whether the certificate is trusted for the host; the reason when not.
    bool Trusts(PCCERT_CONTEXT pCert, const std::wstring& strHost,
                const CertFingerprint& fingerprint, std::string& strReason) const;

private:
    bool LoadTrustFile(const std::string& strPath, std::string& strError);
    bool AcquireCredentials(std::string& strError);

    CredHandle m_hCredentials{};
    HCERTSTORE m_hRoots = nullptr;
    HCERTCHAINENGINE m_hEngine = nullptr;
    BCRYPT_ALG_HANDLE m_hSha256 = nullptr;
    DWORD m_nHashObject = 0;
    bool m_bHaveCredentials = false;
    bool m_bPinned;
    CertFingerprint m_pinned;
};

// --- the stream ---------------------------------------------------------------

void CSchannelStream::Fail(const std::string& strReason, int nError) {
    if (m_state != State::Failed) {
        m_strFailure = strReason;
        m_nError = nError != 0 ? nError : sys::kErrNotConnected;
    }
    m_state = State::Failed;
    m_nIn = m_nOutBegin = m_nOutEnd = m_nPendingPlain = m_nPlainBegin = m_nPlainEnd = 0;
    ReleaseIdle();
}

void CSchannelStream::FailReceive(Received received, int nError) {
    const char* pszPrefix = Handshaken() ? "TLS connection failed: " : "TLS handshake failed: ";
    switch (received) {
        case Received::Ended:
            Fail(std::string(pszPrefix) + (Handshaken() ? "the connection ended within a record"
                                                        : "the server closed the connection"),
                 WSAECONNRESET);
            break;
        case Received::Broken:
            Fail(pszPrefix + SocketErrorText(nError), nError);
            break;
        case Received::Invalid:
            Fail(std::string(pszPrefix) + "the server does not speak TLS", 0);
            break;
        case Received::TooLong:
            Fail(std::string(pszPrefix) + "the server's handshake is too long or memory is short",
                 0);
            break;
        default:
            break;
    }
}

bool CSchannelStream::Flush(SOCKET h, int& nError) {
    while (m_nOutBegin < m_nOutEnd) {
        auto nSent = sys::SendSome(h, m_out.Data() + m_nOutBegin, m_nOutEnd - m_nOutBegin);
        if (nSent > 0) {
            m_nOutBegin += std::size_t(nSent);
            continue;
        }
        int nSystem = sys::LastError();
        if (sys::IsWouldBlock(nSystem) || nSystem == sys::kErrInterrupted)
            return true;
        nError = nSystem;
        return false;
    }
    m_nOutBegin = m_nOutEnd = 0;
    return true;
}

bool CSchannelStream::Queue(const void* p, std::size_t n) {
    if (m_nOutBegin == m_nOutEnd)
        m_nOutBegin = m_nOutEnd = 0;
    if (!m_out.Reserve(m_nOutEnd + n, m_nOutEnd))
        return false;
    std::memcpy(m_out.Data() + m_nOutEnd, p, n);
    m_nOutEnd += n;
    return true;
}

std::size_t CSchannelStream::IncompleteRecord() const {
    std::size_t nAt = 0;
    while (m_nIn - nAt >= kRecordHeader) {
        std::size_t nBody = 0;
        if (!RecordBodyLength(m_in.Data() + nAt, nBody) || m_nIn - nAt < kRecordHeader + nBody)
            break;
        nAt += kRecordHeader + nBody;
    }
    return nAt;
}

CSchannelStream::Received CSchannelStream::Receive(SOCKET h, int& nError) {
    std::size_t nStart = IncompleteRecord();
    std::size_t nHave = m_nIn - nStart;
    std::size_t nWant = kRecordHeader - nHave;
    if (nHave >= kRecordHeader) {
        std::size_t nBody = 0;
        if (!RecordBodyLength(m_in.Data() + nStart, nBody))
            return Received::Invalid;
        nWant = kRecordHeader + nBody - nHave;
    }
    std::size_t nNeeded = m_nIn + nWant;
    if (nNeeded > kMaxHandshakeInput + kRecordHeader + kMaxRecordBody)
        return Received::TooLong;
    if (nNeeded > m_in.Capacity()) {
        // Room for a whole record at once, so a record is not copied as it grows.
        std::size_t nRoom = std::max(nNeeded, nStart + kRecordHeader + kMaxRecordBody);
        if (!m_in.Reserve(nRoom, m_nIn))
            return Received::TooLong;
    }
    auto nReceived = sys::ReceiveSome(h, m_in.Data() + m_nIn, nWant);
    if (nReceived > 0) {
        m_nIn += std::size_t(nReceived);
        return Received::Some;
    }
    if (nReceived == 0)
        return Received::Ended;
    int nSystem = sys::LastError();
    if (sys::IsWouldBlock(nSystem) || nSystem == sys::kErrInterrupted)
        return Received::Blocked;
    nError = nSystem;
    return Received::Broken;
}

std::size_t CSchannelStream::TakePlain(char* p, std::size_t n) {
    std::size_t nTaken = std::min(n, m_nPlainEnd - m_nPlainBegin);
    if (nTaken > 0) {
        std::memcpy(p, m_plain.Data() + m_nPlainBegin, nTaken);
        m_nPlainBegin += nTaken;
    }
    if (m_nPlainBegin == m_nPlainEnd) {
        m_nPlainBegin = m_nPlainEnd = 0;
        m_plain.Release();
    }
    return nTaken;
}

void CSchannelStream::ReleaseIdle() {
    if (m_nIn == 0)
        m_in.Release();
    if (m_nOutEnd == 0)
        m_out.Release();
    if (m_nPlainEnd == 0)
        m_plain.Release();
}

void CSchannelStream::Step() {
    static char s_empty = 0;
    SecBuffer input[2] = {
        {ULONG(m_nIn), SECBUFFER_TOKEN, m_nIn > 0 ? m_in.Data() : &s_empty},
        {0, SECBUFFER_EMPTY, nullptr},
    };
    SecBufferDesc inputDesc{SECBUFFER_VERSION, 2, input};
    SecBuffer output{0, SECBUFFER_TOKEN, nullptr};
    SecBufferDesc outputDesc{SECBUFFER_VERSION, 1, &output};
    ULONG nAttributes = 0;
    SECURITY_STATUS nStatus = InitializeSecurityContextW(
        m_pContext->Credentials(), m_bHaveContext ? &m_hContext : nullptr, m_strHost.data(),
        kContextFlags, 0, 0, m_bHaveContext ? &inputDesc : nullptr, 0, &m_hContext, &outputDesc,
        &nAttributes, nullptr);
    if (!m_bHaveContext && (nStatus == SEC_E_OK || nStatus == SEC_I_CONTINUE_NEEDED))
        m_bHaveContext = true;

    bool bQueued = true;
    if (output.pvBuffer != nullptr) {
        if (nStatus == SEC_E_OK || nStatus == SEC_I_CONTINUE_NEEDED)
            bQueued = Queue(output.pvBuffer, output.cbBuffer);
        FreeContextBuffer(output.pvBuffer);
    }

    if (nStatus == SEC_E_INCOMPLETE_MESSAGE) {
        m_bNeedInput = true;
        return;
    }
    if (nStatus == SEC_E_OK || nStatus == SEC_I_CONTINUE_NEEDED) {
        // What SChannel left over is the start of what comes next.
        std::size_t nExtra = input[1].BufferType == SECBUFFER_EXTRA ? input[1].cbBuffer : 0;
        if (nExtra > m_nIn)
            nExtra = 0;
        if (nExtra > 0)
            std::memmove(m_in.Data(), m_in.Data() + (m_nIn - nExtra), nExtra);
        m_nIn = nExtra;
        if (!bQueued) {
            Fail("TLS handshake failed: out of memory", 0);
            return;
        }
        if (nStatus == SEC_I_CONTINUE_NEEDED) {
            m_bNeedInput = m_nIn == 0;
            return;
        }
        m_bNeedInput = false;
        m_bNegotiated = true;
        if (QueryContextAttributesW(&m_hContext, SECPKG_ATTR_STREAM_SIZES, &m_sizes) != SEC_E_OK ||
            m_sizes.cbMaximumMessage == 0) {
            Fail("TLS handshake failed: the record sizes are unknown", 0);
            return;
        }
        // Wine ignores the protocols the credentials disable.
        SecPkgContext_ConnectionInfo info{};
        bool bInfo =
            QueryContextAttributesW(&m_hContext, SECPKG_ATTR_CONNECTION_INFO, &info) == SEC_E_OK;
        if (bInfo &&
            (info.dwProtocol & (SP_PROT_SSL2 | SP_PROT_SSL3 | SP_PROT_TLS1_0 | SP_PROT_TLS1_1))) {
            Fail("TLS handshake failed: the server offers only TLS 1.1 or older", 0);
            return;
        }
        // After TLS 1.3's handshake SChannel reports the server's tickets and
        // key updates as new handshakes; they cannot change the certificate.
        if (m_bChecked && bInfo && (info.dwProtocol & SP_PROT_TLS1_3))
            return;
        CheckPeer();
        return;
    }
    Fail((Handshaken() ? "TLS connection failed: " : "TLS handshake failed: ") +
             SecurityText(nStatus),
         0);
}

bool CSchannelStream::CheckPeer() {
    PCCERT_CONTEXT pCert = nullptr;
    if (QueryContextAttributesW(&m_hContext, SECPKG_ATTR_REMOTE_CERT_CONTEXT, &pCert) != SEC_E_OK ||
        pCert == nullptr) {
        Fail("TLS handshake failed: the server sent no certificate", 0);
        return false;
    }
    CertFingerprint peer{};
    if (!m_pContext->Fingerprint(pCert, peer)) {
        CertFreeCertificateContext(pCert);
        Fail("TLS handshake failed: cannot hash the server's certificate", 0);
        return false;
    }
    if (m_bChecked && peer == m_peer) {
        // A new handshake over a connection already checked, with the same certificate.
        CertFreeCertificateContext(pCert);
        return true;
    }
    m_peer = peer;
    std::string strReason;
    bool bTrusted = m_pContext->Trusts(pCert, m_strHost, peer, strReason);
    CertFreeCertificateContext(pCert);
    if (!bTrusted) {
        m_bRefused = true;
        Fail("certificate not trusted: " + strReason + "; SHA-256 " + FormatFingerprint(peer), 0);
        return false;
    }
    m_bChecked = true;
    return true;
}

void CSchannelStream::Handshake(SOCKET h) {
    // Each round sends, receives or hands SChannel a whole record; the bound
    // only keeps a misbehaving peer from holding the loop.
    for (int nRound = 0; nRound < 256 && m_state == State::Handshake; ++nRound) {
        int nError = 0;
        if (!Flush(h, nError)) {
            Fail((Handshaken() ? "TLS connection failed: " : "TLS handshake failed: ") +
                     SocketErrorText(nError),
                 nError);
            return;
        }
        if (m_nOutEnd > 0) {
            m_nHandshakeWait = sys::kOut;
            return;
        }
        if (m_bNegotiated) {
            // Done, and the server has all the handshake's bytes.
            m_state = State::Open;
            ReleaseIdle();
            return;
        }
        if (m_bNeedInput) {
            Received received = Receive(h, nError);
            if (received == Received::Blocked) {
                m_nHandshakeWait = sys::kIn;
                ReleaseIdle();
                return;
            }
            if (received != Received::Some) {
                FailReceive(received, nError);
                return;
            }
            if (IncompleteRecord() != m_nIn)
                continue;
            m_bNeedInput = false;
        }
        Step();
    }
    m_nHandshakeWait = sys::kOut;  // writable at once: the next call goes on
}

void CSchannelStream::Decrypt(SOCKET h, char* p, std::size_t n, std::size_t& nTotal) {
    std::size_t nBody = 0;
    RecordBodyLength(m_in.Data(), nBody);
    std::size_t nRecord = kRecordHeader + nBody;
    auto nType = static_cast<unsigned char>(m_in.Data()[0]);
    SecBuffer buffers[4] = {
        {ULONG(nRecord), SECBUFFER_DATA, m_in.Data()},
        {0, SECBUFFER_EMPTY, nullptr},
        {0, SECBUFFER_EMPTY, nullptr},
        {0, SECBUFFER_EMPTY, nullptr},
    };
    SecBufferDesc desc{SECBUFFER_VERSION, 4, buffers};
    SECURITY_STATUS nStatus = DecryptMessage(&m_hContext, &desc, 0, nullptr);
    if (nStatus != SEC_E_OK && nStatus != SEC_I_CONTEXT_EXPIRED && nStatus != SEC_I_RENEGOTIATE) {
        Fail("TLS connection failed: " + SecurityText(nStatus), 0);
        return;
    }
    const char* pData = nullptr;
    std::size_t nData = 0;
    std::size_t nExtra = 0;
    for (const SecBuffer& buffer : buffers) {
        if (buffer.BufferType == SECBUFFER_DATA && pData == nullptr) {
            pData = static_cast<const char*>(buffer.pvBuffer);
            nData = buffer.cbBuffer;
        } else if (buffer.BufferType == SECBUFFER_EXTRA) {
            nExtra = std::min<std::size_t>(buffer.cbBuffer, nRecord);
        }
    }
    if (pData == nullptr)
        nData = 0;
    // The plaintext lies within the received bytes: out before they move.
    std::size_t nCopied = std::min(nData, n - nTotal);
    if (nCopied > 0) {
        std::memcpy(p + nTotal, pData, nCopied);
        nTotal += nCopied;
    }
    if (nData > nCopied) {
        std::size_t nLeft = nData - nCopied;
        if (!m_plain.Reserve(nLeft, 0)) {
            Fail("TLS connection failed: out of memory", 0);
            return;
        }
        std::memcpy(m_plain.Data(), pData + nCopied, nLeft);
        m_nPlainBegin = 0;
        m_nPlainEnd = nLeft;
    }
    std::size_t nConsumed = nRecord - nExtra;
    std::memmove(m_in.Data(), m_in.Data() + nConsumed, m_nIn - nConsumed);
    m_nIn -= nConsumed;

    if (nStatus == SEC_I_CONTEXT_EXPIRED || (nData == 0 && nType == kAlertRecord)) {
        // The server's close_notify (wine reports it as an empty alert record).
        m_bEnded = true;
    } else if (nStatus == SEC_I_RENEGOTIATE) {
        // A new handshake (TLS 1.3: a message after the handshake), over what follows.
        m_state = State::Handshake;
        m_bNegotiated = false;
        m_bNeedInput = false;
        Handshake(h);
    }
}

std::ptrdiff_t CSchannelStream::DoRead(SOCKET h, char* p, std::size_t n, int& nError) {
    if (m_state == State::Failed) {
        nError = m_nError;
        return -1;
    }
    // Bytes decrypted before a new handshake began are the caller's already.
    std::size_t nTotal = TakePlain(p, n);
    if (m_state == State::Handshake)
        Handshake(h);
    if (m_state != State::Open) {
        if (nTotal > 0)
            return std::ptrdiff_t(nTotal);
        nError = m_state == State::Failed ? m_nError : WSAEWOULDBLOCK;
        return -1;
    }
    while (nTotal < n && !m_bEnded && m_state == State::Open) {
        if (FirstRecordComplete()) {
            Decrypt(h, p, n, nTotal);
            continue;
        }
        int nReceiveError = 0;
        Received received = Receive(h, nReceiveError);
        if (received == Received::Blocked)
            break;
        if (received == Received::Ended && m_nIn == 0) {
            m_bEnded = true;  // POP3 servers often close without a close_notify
        } else if (received != Received::Some) {
            FailReceive(received, nReceiveError);
        }
    }
    ReleaseIdle();
    if (nTotal > 0)
        return std::ptrdiff_t(nTotal);  // a failure shows at the next read
    if (m_state == State::Failed) {
        nError = m_nError;
        return -1;
    }
    if (m_bEnded) {
        m_bEndRead = true;
        return 0;
    }
    nError = WSAEWOULDBLOCK;
    return -1;
}

bool CSchannelStream::Encrypt(const char* p, std::size_t n) {
    std::size_t nRecord = m_sizes.cbHeader + n + m_sizes.cbTrailer;
    m_nOutBegin = m_nOutEnd = 0;
    if (!m_out.Reserve(nRecord, 0))
        return false;
    char* pRecord = m_out.Data();
    std::memcpy(pRecord + m_sizes.cbHeader, p, n);
    SecBuffer buffers[4] = {
        {m_sizes.cbHeader, SECBUFFER_STREAM_HEADER, pRecord},
        {ULONG(n), SECBUFFER_DATA, pRecord + m_sizes.cbHeader},
        {m_sizes.cbTrailer, SECBUFFER_STREAM_TRAILER, pRecord + m_sizes.cbHeader + n},
        {0, SECBUFFER_EMPTY, nullptr},
    };
    SecBufferDesc desc{SECBUFFER_VERSION, 4, buffers};
    SECURITY_STATUS nStatus = EncryptMessage(&m_hContext, 0, &desc, 0);
    if (nStatus != SEC_E_OK) {
        Fail("TLS connection failed: " + SecurityText(nStatus), 0);
        return false;
    }
    m_nOutEnd = std::size_t(buffers[0].cbBuffer) + buffers[1].cbBuffer + buffers[2].cbBuffer;
    return true;
}

std::ptrdiff_t CSchannelStream::DoWrite(SOCKET h, const char* p, std::size_t n, int& nError) {
    if (m_state == State::Failed || m_bCloseQueued) {
        nError = m_state == State::Failed ? m_nError : sys::kErrNotConnected;
        return -1;
    }
    std::size_t nTaken = 0;
    int nSendError = 0;
    if (!Flush(h, nSendError)) {
        Fail("TLS connection failed: " + SocketErrorText(nSendError), nSendError);
        nError = m_nError;
        return -1;
    }
    if (m_nOutEnd == 0 && m_nPendingPlain > 0) {
        // The record with the bytes an earlier call left to the caller is out.
        nTaken = std::min(n, m_nPendingPlain);
        m_nPendingPlain = 0;
    }
    if (m_state == State::Handshake) {
        // Nothing of the caller's goes out before the certificate is checked.
        Handshake(h);
        if (m_state == State::Failed && nTaken == 0) {
            nError = m_nError;
            return -1;
        }
        if (m_state != State::Open)
            return std::ptrdiff_t(nTaken);
    }
    while (nTaken < n && m_nOutEnd == 0) {
        std::size_t nChunk = std::min<std::size_t>(n - nTaken, m_sizes.cbMaximumMessage);
        if (!Encrypt(p + nTaken, nChunk)) {
            if (m_state != State::Failed)
                Fail("TLS connection failed: out of memory", 0);
            break;
        }
        if (!Flush(h, nSendError)) {
            Fail("TLS connection failed: " + SocketErrorText(nSendError), nSendError);
            break;
        }
        if (m_nOutEnd > 0)
            m_nPendingPlain = nChunk;  // taken once the record is out; the caller keeps it
        else
            nTaken += nChunk;
    }
    ReleaseIdle();
    if (nTaken == 0 && m_state == State::Failed) {
        nError = m_nError;
        return -1;
    }
    return std::ptrdiff_t(nTaken);
}

std::size_t CSchannelStream::Held() const {
    std::size_t nHeld = m_nPlainEnd - m_nPlainBegin;
    if (m_state != State::Open)
        return nHeld;  // a handshake goes on when the kernel signals what it waits for
    // A whole record still encrypted counts too, and so does an end that came
    // behind bytes already read: the kernel signals neither any more.
    return nHeld + (FirstRecordComplete() ? m_nIn : 0) + (m_bEnded && !m_bEndRead ? 1 : 0);
}

std::uint32_t CSchannelStream::Interest(std::uint32_t nWanted) const {
    std::uint32_t nInterest = nWanted & sys::kRdHup;
    switch (m_state) {
        case State::Handshake:
            // The handshake goes on whatever the caller wants.
            return nInterest | m_nHandshakeWait;
        case State::Failed:
            // Shows at once, at the caller's next read or write.
            return nInterest |
                   ((nWanted & (sys::kIn | sys::kOut)) != 0 ? std::uint32_t(sys::kIn | sys::kOut)
                                                            : 0u);
        case State::Open:
        default:
            return nInterest | (nWanted & (sys::kIn | sys::kOut));
    }
}

std::uint32_t CSchannelStream::Readiness(std::uint32_t nReady) const {
    std::uint32_t nGoes = nReady & ~std::uint32_t(sys::kIn | sys::kOut);
    switch (m_state) {
        case State::Handshake:
            if (nReady & m_nHandshakeWait)
                nGoes |= sys::kIn | sys::kOut;
            return nGoes;
        case State::Failed:
            if (nReady & (sys::kIn | sys::kOut))
                nGoes |= sys::kIn | sys::kOut;
            return nGoes;
        case State::Open:
        default:
            return nReady;
    }
}

void CSchannelStream::QueueCloseNotify() {
    DWORD nType = SCHANNEL_SHUTDOWN;
    SecBuffer control{sizeof nType, SECBUFFER_TOKEN, &nType};
    SecBufferDesc controlDesc{SECBUFFER_VERSION, 1, &control};
    if (ApplyControlToken(&m_hContext, &controlDesc) != SEC_E_OK)
        return;
    SecBuffer output{0, SECBUFFER_TOKEN, nullptr};
    SecBufferDesc outputDesc{SECBUFFER_VERSION, 1, &output};
    ULONG nAttributes = 0;
    SECURITY_STATUS nStatus = InitializeSecurityContextW(
        m_pContext->Credentials(), &m_hContext, m_strHost.data(), kContextFlags, 0, 0, nullptr, 0,
        nullptr, &outputDesc, &nAttributes, nullptr);
    if (output.pvBuffer != nullptr) {
        if ((nStatus == SEC_E_OK || nStatus == SEC_I_CONTEXT_EXPIRED) && output.cbBuffer > 0)
            Queue(output.pvBuffer, output.cbBuffer);
        FreeContextBuffer(output.pvBuffer);
    }
}

bool CSchannelStream::DoShutdownSending(SOCKET h) {
    if (m_bShutdown)
        return true;
    if (!m_bCloseQueued) {
        m_bCloseQueued = true;
        if (m_state == State::Open)
            QueueCloseNotify();  // after the record still going out, if one is
        else if (m_state == State::Handshake)
            m_nOutBegin = m_nOutEnd = 0;  // a handshake given up
    }
    int nError = 0;
    if (m_state != State::Failed && Flush(h, nError) && m_nOutEnd > 0)
        return false;  // the close_notify waits for room
    m_bShutdown = true;
    m_nOutBegin = m_nOutEnd = 0;
    ReleaseIdle();
    sys::ShutdownSending(h);
    return true;
}

std::ptrdiff_t CSchannelStream::Read(SOCKET h, void* p, std::size_t n, int& nError) {
    try {
        return DoRead(h, static_cast<char*>(p), n, nError);
    } catch (...) {
        Fail(std::string(), 0);
        nError = m_nError;
        return -1;
    }
}

std::ptrdiff_t CSchannelStream::Write(SOCKET h, const void* p, std::size_t n, int& nError) {
    try {
        return DoWrite(h, static_cast<const char*>(p), n, nError);
    } catch (...) {
        Fail(std::string(), 0);
        nError = m_nError;
        return -1;
    }
}

bool CSchannelStream::ShutdownSending(SOCKET h) {
    try {
        return DoShutdownSending(h);
    } catch (...) {
        m_bShutdown = true;
        sys::ShutdownSending(h);
        return true;
    }
}

bool CSchannelStream::HasUnread(SOCKET h) const {
    int nUnread = 0;
    return m_nPlainEnd > m_nPlainBegin || m_nIn > 0 || !sys::UnreadBytes(h, nUnread) ||
           nUnread != 0;
}

bool CSchannelStream::HasUnacked(SOCKET h) const {
    int nUnsent = 0;
    // An established connection is closed with a close_notify, so it always lingers.
    return (m_state == State::Open && !m_bShutdown) || m_nOutEnd > 0 ||
           !sys::UnackedBytes(h, nUnsent) || nUnsent != 0;
}

// --- the context ---------------------------------------------------------------

bool CSchannelContext::Fingerprint(PCCERT_CONTEXT pCert, CertFingerprint& fingerprint) const {
    std::unique_ptr<UCHAR[]> pObject(new (std::nothrow) UCHAR[m_nHashObject]);
    if (!pObject)
        return false;
    BCRYPT_HASH_HANDLE hHash = nullptr;
    if (!BCRYPT_SUCCESS(
            BCryptCreateHash(m_hSha256, &hHash, pObject.get(), m_nHashObject, nullptr, 0, 0)))
        return false;
    bool bDone =
        BCRYPT_SUCCESS(BCryptHashData(hHash, pCert->pbCertEncoded, pCert->cbCertEncoded, 0)) &&
        BCRYPT_SUCCESS(BCryptFinishHash(hHash, fingerprint.data(), ULONG(fingerprint.size()), 0));
    BCryptDestroyHash(hHash);
    return bDone;
}

// Which certificate of the chain is out of its time, and how.
const char* TimeReason(PCCERT_CHAIN_CONTEXT pChain) {
    if (pChain->cChain > 0) {
        const CERT_SIMPLE_CHAIN* pSimple = pChain->rgpChain[0];
        for (DWORD i = 0; i < pSimple->cElement; ++i) {
            LONG nWhen =
                CertVerifyTimeValidity(nullptr, pSimple->rgpElement[i]->pCertContext->pCertInfo);
            if (nWhen < 0)
                return "not yet valid";
            if (nWhen > 0)
                return "expired";
        }
    }
    return "expired";
}

bool IsSelfSigned(PCCERT_CHAIN_CONTEXT pChain) {
    if (pChain->cChain == 0 || pChain->rgpChain[0]->cElement != 1)
        return false;
    const CERT_CHAIN_ELEMENT* pElement = pChain->rgpChain[0]->rgpElement[0];
    const CERT_INFO* pInfo = pElement->pCertContext->pCertInfo;
    return (pElement->TrustStatus.dwInfoStatus & CERT_TRUST_IS_SELF_SIGNED) != 0 ||
           CertCompareCertificateName(X509_ASN_ENCODING,
                                      const_cast<CERT_NAME_BLOB*>(&pInfo->Subject),
                                      const_cast<CERT_NAME_BLOB*>(&pInfo->Issuer));
}

// The short words of the OpenSSL build, from what the chain and the SSL policy say.
std::string ChainReason(PCCERT_CHAIN_CONTEXT pChain, DWORD nStatus, DWORD nPolicy) {
    if ((nStatus & (CERT_TRUST_IS_UNTRUSTED_ROOT | CERT_TRUST_IS_PARTIAL_CHAIN)) ||
        nPolicy == DWORD(CERT_E_UNTRUSTEDROOT) || nPolicy == DWORD(CERT_E_CHAINING))
        return IsSelfSigned(pChain) ? "self-signed" : "unknown issuer";
    if ((nStatus & CERT_TRUST_IS_NOT_SIGNATURE_VALID) || nPolicy == DWORD(TRUST_E_CERT_SIGNATURE))
        return "bad signature";
    if ((nStatus & CERT_TRUST_IS_REVOKED) || nPolicy == DWORD(CRYPT_E_REVOKED))
        return "revoked";
    if ((nStatus & CERT_TRUST_IS_NOT_TIME_VALID) || nPolicy == DWORD(CERT_E_EXPIRED))
        return TimeReason(pChain);
    if (nPolicy == DWORD(CERT_E_CN_NO_MATCH))
        return "issued for another name";
    if ((nStatus & CERT_TRUST_IS_NOT_VALID_FOR_USAGE) || nPolicy == DWORD(CERT_E_WRONG_USAGE))
        return "not issued for a server";
    if (nPolicy != 0)
        return SystemText(nPolicy);
    char text[48];
    std::snprintf(text, sizeof text, "invalid chain (status 0x%08lX)",
                  static_cast<unsigned long>(nStatus));
    return text;
}

bool CSchannelContext::Trusts(PCCERT_CONTEXT pCert, const std::wstring& strHost,
                              const CertFingerprint& fingerprint, std::string& strReason) const {
    if (m_bPinned) {
        // Exactly that certificate, whoever issued it and whatever name it bears.
        if (fingerprint == m_pinned)
            return true;
        strReason = "not the one pinned";
        return false;
    }
    static char s_serverAuth[] = szOID_PKIX_KP_SERVER_AUTH;
    LPSTR usages[] = {s_serverAuth};
    CERT_CHAIN_PARA chainPara{};
    chainPara.cbSize = sizeof chainPara;
    chainPara.RequestedUsage.dwType = USAGE_MATCH_TYPE_AND;
    chainPara.RequestedUsage.Usage.cUsageIdentifier = 1;
    chainPara.RequestedUsage.Usage.rgpszUsageIdentifier = usages;
    // Fetching missing certificates holds the whole loop: briefly, and with a
    // trust file not at all (the file is the whole trust, as on Linux).
    chainPara.dwUrlRetrievalTimeout = 5000;
    DWORD nFlags = m_hEngine != nullptr ? CERT_CHAIN_CACHE_ONLY_URL_RETRIEVAL : 0;
    PCCERT_CHAIN_CONTEXT pChain = nullptr;
    if (!CertGetCertificateChain(m_hEngine, pCert, nullptr, pCert->hCertStore, &chainPara, nFlags,
                                 nullptr, &pChain) ||
        pChain == nullptr) {
        strReason = "no chain: " + SystemText(GetLastError());
        return false;
    }
    // Revocation is not asked for (nor checked on Linux).
    DWORD nStatus = pChain->TrustStatus.dwErrorStatus &
                    ~DWORD(CERT_TRUST_REVOCATION_STATUS_UNKNOWN | CERT_TRUST_IS_OFFLINE_REVOCATION);
    SSL_EXTRA_CERT_CHAIN_POLICY_PARA sslPara{};
    sslPara.cbSize = sizeof sslPara;
    sslPara.dwAuthType = AUTHTYPE_SERVER;
    sslPara.pwszServerName = const_cast<WCHAR*>(strHost.c_str());
    CERT_CHAIN_POLICY_PARA policyPara{};
    policyPara.cbSize = sizeof policyPara;
    policyPara.pvExtraPolicyPara = &sslPara;
    CERT_CHAIN_POLICY_STATUS policyStatus{};
    policyStatus.cbSize = sizeof policyStatus;
    DWORD nPolicy =
        CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, pChain, &policyPara, &policyStatus)
            ? policyStatus.dwError
            : GetLastError();
    // Wine's policy passes a chain that ends short of the trusted roots: the
    // chain's own status has the last word.
    bool bTrusted = nStatus == 0 && nPolicy == 0;
    if (!bTrusted)
        strReason = ChainReason(pChain, nStatus, nPolicy == 0 ? 0 : nPolicy);
    CertFreeCertificateChain(pChain);
    return bTrusted;
}

bool CSchannelContext::LoadTrustFile(const std::string& strPath, std::string& strError) {
    std::wstring strWidePath = Widen(strPath);
    HANDLE hFile = CreateFileW(strWidePath.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                               OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (hFile == INVALID_HANDLE_VALUE) {
        strError = "cannot read the trust file " + strPath + ": " + SystemText(GetLastError());
        return false;
    }
    std::string strText;
    LARGE_INTEGER nSize{};
    bool bRead = GetFileSizeEx(hFile, &nSize) != 0 && nSize.QuadPart <= kMaxTrustFile;
    if (bRead) {
        strText.resize(std::size_t(nSize.QuadPart));
        DWORD nRead = 0;
        bRead = strText.empty() ||
                (ReadFile(hFile, strText.data(), DWORD(strText.size()), &nRead, nullptr) != 0 &&
                 nRead == strText.size());
    }
    DWORD nReadError = GetLastError();
    CloseHandle(hFile);
    if (!bRead) {
        strError = "cannot read the trust file " + strPath + ": " +
                   (nSize.QuadPart > kMaxTrustFile ? "too large" : SystemText(nReadError));
        return false;
    }

    m_hRoots = CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, CERT_STORE_CREATE_NEW_FLAG, nullptr);
    if (m_hRoots == nullptr) {
        strError = "cannot read the trust file " + strPath + ": " + SystemText(GetLastError());
        return false;
    }
    static const char kBegin[] = "-----BEGIN CERTIFICATE-----";
    static const char kEnd[] = "-----END CERTIFICATE-----";
    int nCertificates = 0;
    for (std::size_t nAt = strText.find(kBegin); nAt != std::string::npos;
         nAt = strText.find(kBegin, nAt)) {
        std::size_t nEnd = strText.find(kEnd, nAt);
        if (nEnd == std::string::npos)
            break;
        nEnd += sizeof kEnd - 1;
        const char* pBlock = strText.data() + nAt;
        DWORD nBlock = DWORD(nEnd - nAt);
        DWORD nDer = 0;
        std::string der;
        if (CryptStringToBinaryA(pBlock, nBlock, CRYPT_STRING_BASE64HEADER, nullptr, &nDer, nullptr,
                                 nullptr) &&
            nDer > 0) {
            der.resize(nDer);
            if (CryptStringToBinaryA(pBlock, nBlock, CRYPT_STRING_BASE64HEADER,
                                     reinterpret_cast<BYTE*>(der.data()), &nDer, nullptr,
                                     nullptr) &&
                CertAddEncodedCertificateToStore(m_hRoots, X509_ASN_ENCODING,
                                                 reinterpret_cast<const BYTE*>(der.data()), nDer,
                                                 CERT_STORE_ADD_USE_EXISTING, nullptr))
                ++nCertificates;
        }
        nAt = nEnd;
    }
    if (nCertificates == 0) {
        strError = "cannot read the trust file " + strPath + ": no certificate in it";
        return false;
    }

    CERT_CHAIN_ENGINE_CONFIG config{};
    // The layout Windows 7 and 8 know, and the one wine takes.
    config.cbSize =
        DWORD(offsetof(CERT_CHAIN_ENGINE_CONFIG, hExclusiveTrustedPeople) + sizeof(HCERTSTORE));
    config.hExclusiveRoot = m_hRoots;
    if (!CertCreateCertificateChainEngine(&config, &m_hEngine)) {
        m_hEngine = nullptr;
        strError = "cannot use the trust file " + strPath + ": " + SystemText(GetLastError());
        return false;
    }
    return true;
}

bool CSchannelContext::AcquireCredentials(std::string& strError) {
    // The certificate is checked here, not by SChannel; no client certificate.
    DWORD nFlags =
        SCH_CRED_MANUAL_CRED_VALIDATION | SCH_CRED_NO_DEFAULT_CREDS | SCH_USE_STRONG_CRYPTO;
    TimeStamp expiry{};
    // TLS 1.3 needs the newer structure; systems without it take the older one.
    TLS_PARAMETERS parameters{};
    parameters.grbitDisabledProtocols = ~DWORD(SP_PROT_TLS1_2_CLIENT | SP_PROT_TLS1_3_CLIENT);
    SCH_CREDENTIALS credentials{};
    credentials.dwVersion = SCH_CREDENTIALS_VERSION;
    credentials.dwFlags = nFlags;
    credentials.cTlsParameters = 1;
    credentials.pTlsParameters = &parameters;
    SECURITY_STATUS nStatus = AcquireCredentialsHandleW(
        nullptr, const_cast<SEC_WCHAR*>(UNISP_NAME_W), SECPKG_CRED_OUTBOUND, nullptr, &credentials,
        nullptr, nullptr, &m_hCredentials, &expiry);
    if (nStatus != SEC_E_OK) {
        SCHANNEL_CRED oldCredentials{};
        oldCredentials.dwVersion = SCHANNEL_CRED_VERSION;
        oldCredentials.grbitEnabledProtocols = SP_PROT_TLS1_2_CLIENT;
        oldCredentials.dwFlags = nFlags;
        nStatus = AcquireCredentialsHandleW(nullptr, const_cast<SEC_WCHAR*>(UNISP_NAME_W),
                                            SECPKG_CRED_OUTBOUND, nullptr, &oldCredentials, nullptr,
                                            nullptr, &m_hCredentials, &expiry);
    }
    if (nStatus != SEC_E_OK) {
        strError = "TLS is not available: " + SecurityText(nStatus);
        return false;
    }
    m_bHaveCredentials = true;
    return true;
}

bool CSchannelContext::Init(const TlsTrust& trust, std::string& strError) {
    if (!m_bPinned && !trust.strTrustFile.empty() && !LoadTrustFile(trust.strTrustFile, strError))
        return false;
    DWORD nLength = 0;
    if (!BCRYPT_SUCCESS(
            BCryptOpenAlgorithmProvider(&m_hSha256, BCRYPT_SHA256_ALGORITHM, nullptr, 0)) ||
        !BCRYPT_SUCCESS(BCryptGetProperty(m_hSha256, BCRYPT_OBJECT_LENGTH,
                                          reinterpret_cast<PUCHAR>(&m_nHashObject),
                                          sizeof m_nHashObject, &nLength, 0))) {
        strError = "TLS is not available: no SHA-256";
        return false;
    }
    return AcquireCredentials(strError);
}

std::unique_ptr<IByteStream> CSchannelContext::Connect(SOCKET h, const std::string& strHost, int) {
    try {
        // SChannel resumes sessions by credentials and host name by itself.
        std::unique_ptr<CSchannelStream> pStream(
            new (std::nothrow) CSchannelStream(shared_from_this(), Widen(strHost)));
        if (!pStream)
            return nullptr;
        pStream->Start(h);
        return pStream;
    } catch (...) {
        return nullptr;
    }
}

}  // namespace

std::shared_ptr<CTlsClientContext> CTlsClientContext::Make(const TlsTrust& trust,
                                                           std::string& strError) {
    try {
        CertFingerprint pinned{};
        bool bPinned = !trust.strFingerprint.empty();
        if (bPinned && !ParseFingerprint(trust.strFingerprint, pinned)) {
            strError = "'" + trust.strFingerprint + "' is not a SHA-256 fingerprint";
            return nullptr;
        }
        auto pContext = std::make_shared<CSchannelContext>(bPinned, pinned);
        if (!pContext->Init(trust, strError))
            return nullptr;
        return pContext;
    } catch (...) {
        strError = "out of memory";
        return nullptr;
    }
}

const CertFingerprint* RefusedCertificate(const IByteStream& stream) {
    auto* pStream = dynamic_cast<const CSchannelStream*>(&stream);
    return pStream != nullptr ? pStream->Refused() : nullptr;
}
