#pragma once

// A proxy on loopback with a scripted POP3 server behind it, kept for the
// whole fuzzing run; each input drives one session through it.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "event_loop.h"
#include "listen_socket.h"
#include "loopback_peer.h"
#include "notice.h"

class FuzzHarness : public CNoticeWnd {
public:
    FuzzHarness() {
        m_hServer = loopback::ListenOnLoopback(m_nServerPort);
        m_pListener = std::make_unique<CListenSocket>("127.0.0.1", m_nServerPort);
        m_pListener->StartListening(0, "127.0.0.1");
        m_nProxyPort = m_pListener->GetLocalPort();
        g_hMainWnd = this;
    }

    LRESULT OnSessionNotify(WPARAM wParam, LPARAM lParam) override {
        if (wParam == 0)
            m_pListener->RemoveSession(lParam);
        return 0;
    }
    void OnReport(const std::string&) override {}

    // A mail client connected to the proxy, its session accepted.
    int ConnectClient() {
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        sockaddr_in address = loopback::Loopback(m_nProxyPort);
        connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
        for (int i = 0; i < 200 && m_pListener->GetSessionCount() == 0; ++i) Pump(1);
        return fd;
    }

    CListenSocket& Listener() { return *m_pListener; }

    // The server side of the session's link, once it has connected; -1 before.
    int AcceptServerSide() { return accept4(m_hServer, nullptr, nullptr, SOCK_NONBLOCK); }

    void Pump(int nRounds) {
        for (int i = 0; i < nRounds; ++i) m_loop.RunOnce(0);
    }

    // Reads and drops what fd has waiting; returns what was read, up to a limit.
    static std::string Drain(int fd) {
        std::string strRead;
        char buffer[4096];
        for (int i = 0; i < 64; ++i) {
            ssize_t n = recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
            if (n <= 0)
                break;
            if (strRead.size() < 8192)
                strRead.append(buffer, std::size_t(n));
        }
        return strRead;
    }

    // Closes both ends and waits until the proxy has deleted the session.
    // A session that never ends is a fault.
    void Finish(int hClient, int hServerSide) {
        close(hClient);
        if (hServerSide >= 0)
            close(hServerSide);
        for (int i = 0; i < 2000 && m_pListener->GetSessionCount() > 0; ++i) {
            Pump(1);
            int fd = AcceptServerSide();
            if (fd >= 0)
                close(fd);
        }
        if (m_pListener->GetSessionCount() > 0) {
            std::abort();
        }
    }

private:
    EventLoop m_loop;
    int m_hServer = -1;
    int m_nServerPort = 0;
    int m_nProxyPort = 0;
    std::unique_ptr<CListenSocket> m_pListener;
};

// Cuts fuzz input into chunks whose sizes come from the input itself.
class ChunkReader {
public:
    ChunkReader(const std::uint8_t* pData, std::size_t nSize) : m_pData(pData), m_nSize(nSize) {}

    bool Next(const char*& pChunk, std::size_t& nChunk) {
        if (m_nOffset >= m_nSize)
            return false;
        std::size_t nWanted = 1 + std::size_t(m_pData[m_nOffset]) % 64;
        if (m_pData[m_nOffset] >= 0xf0)
            nWanted = 4096;  // now and then a large piece
        ++m_nOffset;
        nChunk = std::min(nWanted, m_nSize - m_nOffset);
        pChunk = reinterpret_cast<const char*>(m_pData + m_nOffset);
        m_nOffset += nChunk;
        return true;
    }

private:
    const std::uint8_t* m_pData;
    std::size_t m_nSize;
    std::size_t m_nOffset = 0;
};
