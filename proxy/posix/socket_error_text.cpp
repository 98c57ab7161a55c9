#include "socket_error_text.h"

#include <cstring>

std::string SocketErrorText(int nError) {
    return std::strerror(nError);
}
