#include "loopback_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QTest>
#include <cerrno>

CLoopbackClient::~CLoopbackClient() {
    Close();
}

bool CLoopbackClient::Connect(int nPort) {
    Close();
    m_fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(nPort));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    m_bClosed = false;
    m_received.clear();
    int nResult = connect(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    return nResult == 0 || errno == EINPROGRESS;
}

bool CLoopbackClient::Send(const QByteArray& data) {
    qsizetype nSent = 0;
    return QTest::qWaitFor(
        [&] {
            ssize_t n = send(m_fd, data.constData() + nSent, size_t(data.size() - nSent),
                             MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n > 0)
                nSent += n;
            return nSent == data.size() || (n < 0 && errno != EAGAIN && errno != ENOTCONN);
        },
        5000);
}

void CLoopbackClient::Read() {
    char buffer[4096];
    for (;;) {
        ssize_t n = recv(m_fd, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n > 0) {
            m_received.append(buffer, n);
            continue;
        }
        if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != ENOTCONN)) {
            m_bClosed = true;
        }
        return;
    }
}

bool CLoopbackClient::WaitFor(const QByteArray& strEnd, int nTimeoutMs) {
    return QTest::qWaitFor(
               [&] {
                   Read();
                   return m_received.endsWith(strEnd) || m_bClosed;
               },
               nTimeoutMs) &&
           m_received.endsWith(strEnd);
}

bool CLoopbackClient::WaitClosed(int nTimeoutMs) {
    return QTest::qWaitFor(
        [&] {
            Read();
            return m_bClosed;
        },
        nTimeoutMs);
}

void CLoopbackClient::Close() {
    if (m_fd >= 0) {
        close(m_fd);
        m_fd = -1;
    }
}

int FreePort() {
    int fd = socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    address.sin6_addr = in6addr_any;
    bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t nLength = sizeof address;
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &nLength);
    close(fd);
    return ntohs(address.sin6_port);
}

CPortHolder::CPortHolder(int nPort) {
    m_fd = socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int nOff = 0;
    setsockopt(m_fd, IPPROTO_IPV6, IPV6_V6ONLY, &nOff, sizeof nOff);
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    address.sin6_addr = in6addr_any;
    address.sin6_port = htons(static_cast<std::uint16_t>(nPort));
    if (bind(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(m_fd, 5) != 0) {
        Release();
    }
}

CPortHolder::~CPortHolder() {
    Release();
}

void CPortHolder::Release() {
    if (m_fd >= 0) {
        close(m_fd);
        m_fd = -1;
    }
}
