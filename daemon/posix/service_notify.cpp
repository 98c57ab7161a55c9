#include "service_notify.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>

bool NotifyServiceManager(const char* pszState) {
    const char* pszSocket = std::getenv("NOTIFY_SOCKET");
    if (pszSocket == nullptr || *pszSocket == '\0') {
        return true;
    }
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::size_t nLength = std::strlen(pszSocket);
    if ((pszSocket[0] != '/' && pszSocket[0] != '@') || nLength >= sizeof address.sun_path) {
        errno = EINVAL;
        return false;
    }
    std::memcpy(address.sun_path, pszSocket, nLength);
    if (address.sun_path[0] == '@') {
        address.sun_path[0] = '\0';  // the abstract namespace: the name is its length, no NUL
    }
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return false;
    }
    std::size_t nState = std::strlen(pszState);
    ssize_t nSent =
        sendto(fd, pszState, nState, MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&address),
               socklen_t(offsetof(sockaddr_un, sun_path) + nLength));
    int nError = errno;
    close(fd);
    errno = nError;
    return nSent == ssize_t(nState);
}
