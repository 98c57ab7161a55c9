#include "socket_error_text.h"

#include <netdb.h>

#include <cstring>

std::string SocketErrorText(int nError) {
    // Negative numbers are the resolver's (name lookups).
    return nError < 0 ? gai_strerror(nError) : std::strerror(nError);
}
