#pragma once

#include <algorithm>
#include <cstring>
#include <string>

#include "tcp_stream.h"

// A stream layer that buffers, as TLS does: it takes everything the kernel
// has at once and hands it out a few bytes at a time, so the kernel no longer
// signals what it still holds.
class CHoardingStream : public CTcpStream {
public:
    static constexpr std::size_t kPiece = 61;

    std::ptrdiff_t Read(SOCKET h, void* p, std::size_t n, int& nError) override {
        if (Held() == 0 && !m_bEnd && m_nError == 0) {
            m_strHeld.clear();
            m_nOffset = 0;
            char buffer[16 * 1024];
            while (m_strHeld.size() < 1024 * 1024) {
                std::ptrdiff_t nRead = CTcpStream::Read(h, buffer, sizeof buffer, nError);
                if (nRead > 0) {
                    m_strHeld.append(buffer, std::size_t(nRead));
                    continue;
                }
                m_bEnd = nRead == 0;
                m_nError = nRead < 0 && nError != WSAEWOULDBLOCK ? nError : 0;
                break;
            }
        }
        if (Held() > 0) {
            std::size_t nPiece = std::min({n, kPiece, Held()});
            std::memcpy(p, m_strHeld.data() + m_nOffset, nPiece);
            m_nOffset += nPiece;
            return std::ptrdiff_t(nPiece);
        }
        if (m_bEnd)
            return 0;
        nError = m_nError != 0 ? m_nError : WSAEWOULDBLOCK;
        return -1;
    }
    std::size_t Held() const override { return m_strHeld.size() - m_nOffset; }
    bool HasUnread(SOCKET h) const override { return Held() > 0 || CTcpStream::HasUnread(h); }

private:
    std::string m_strHeld;
    std::size_t m_nOffset = 0;
    bool m_bEnd = false;
    int m_nError = 0;
};
