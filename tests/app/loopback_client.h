#pragma once

#include <QByteArray>

// A mail client on loopback for the tray app's tests. It never blocks: every
// wait pumps the Qt event loop, which runs the proxy in the same thread, and
// every wait is bounded.
class CLoopbackClient {
public:
    CLoopbackClient() = default;
    ~CLoopbackClient();
    CLoopbackClient(const CLoopbackClient&) = delete;
    CLoopbackClient& operator=(const CLoopbackClient&) = delete;

    bool Connect(int nPort);
    bool Send(const QByteArray& data);
    // Waits until what was received ends with strEnd; false on timeout or close.
    bool WaitFor(const QByteArray& strEnd, int nTimeoutMs = 5000);
    // Waits until the peer has closed the connection.
    bool WaitClosed(int nTimeoutMs = 5000);
    void Close();
    QByteArray Received() const { return m_received; }

private:
    void Read();

    int m_fd = -1;
    bool m_bClosed = false;
    QByteArray m_received;
};

// A port on loopback that nothing listens on right now.
int FreePort();

// A listening socket on every interface, as a busy port.
class CPortHolder {
public:
    explicit CPortHolder(int nPort);
    ~CPortHolder();
    CPortHolder(const CPortHolder&) = delete;
    CPortHolder& operator=(const CPortHolder&) = delete;
    bool IsListening() const { return m_fd >= 0; }
    void Release();

private:
    int m_fd = -1;
};
