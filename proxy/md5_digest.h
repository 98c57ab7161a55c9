#pragma once

#include <cstddef>
#include <cstdint>

// MD5 message digest (RFC 1321) of one NUL-terminated text, computed when the
// object is constructed. Used for the APOP digest of the login.
class CMD5Digest {
public:
    explicit CMD5Digest(const char* pszText);
    CMD5Digest(const void* pData, std::size_t nLength);

    // The digest as 32 lowercase hexadecimal digits, or null if it is not valid.
    const char* GetHex() const { return m_bValid ? m_szHex : nullptr; }

private:
    void Compute(const void* pData, std::size_t nLength);

    bool m_bValid = false;
    char m_szHex[33] = {};
};
