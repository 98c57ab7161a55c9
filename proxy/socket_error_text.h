#pragma once

#include <string>

// What an error number of the socket layer means, in the system's words, for
// messages such as posternd's "cannot listen on port 110: ...".
std::string SocketErrorText(int nError);
