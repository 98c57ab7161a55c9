#include "tls_client.h"

#include <cctype>

std::string FormatFingerprint(const CertFingerprint& fingerprint) {
    static const char kDigits[] = "0123456789ABCDEF";
    std::string strText;
    for (unsigned char c : fingerprint) {
        if (!strText.empty())
            strText += ':';
        strText += kDigits[c >> 4];
        strText += kDigits[c & 15];
    }
    return strText;
}

bool ParseFingerprint(std::string_view text, CertFingerprint& fingerprint) {
    std::size_t nDigits = 0;
    for (char c : text) {
        if (c == ':' || c == ' ')
            continue;
        if (!std::isxdigit(static_cast<unsigned char>(c)) || nDigits == 2 * fingerprint.size())
            return false;
        int nValue = std::isdigit(static_cast<unsigned char>(c))
                         ? c - '0'
                         : std::tolower(static_cast<unsigned char>(c)) - 'a' + 10;
        unsigned char& byte = fingerprint[nDigits / 2];
        byte = static_cast<unsigned char>(nDigits % 2 == 0 ? nValue << 4 : byte | nValue);
        ++nDigits;
    }
    return nDigits == 2 * fingerprint.size();
}
