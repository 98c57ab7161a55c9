#pragma once

#include "byte_stream.h"

// Plain TCP: the kernel's bytes as they come. It keeps no state, so one
// instance serves every socket and a plain connection costs no allocation.
class CTcpStream : public IByteStream {
public:
    // The one instance that every plain socket uses.
    static CTcpStream& Plain();

    std::ptrdiff_t Read(SOCKET h, void* p, std::size_t n, int& nError) override;
    std::ptrdiff_t Write(SOCKET h, const void* p, std::size_t n, int& nError) override;
    std::size_t Held() const override { return 0; }
    std::uint32_t Interest(std::uint32_t nWanted) const override { return nWanted; }
    std::uint32_t Readiness(std::uint32_t nReady) const override { return nReady; }
    bool ShutdownSending(SOCKET h) override;
    bool HasUnread(SOCKET h) const override;
    bool HasUnacked(SOCKET h) const override;
};
