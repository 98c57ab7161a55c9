#pragma once

#include <string>

// What an error number of the socket layer means, in the system's words, for
// messages such as posternd's "cannot listen on port 110: ...".
std::string SocketErrorText(int nError);

// Such a text to go on after a colon or inside parentheses: "Connection
// refused" reads "connection refused"; a name such as "WSAStartup" keeps its capitals.
inline std::string InSentence(std::string strText) {
    auto IsUpper = [](char c) { return c >= 'A' && c <= 'Z'; };
    auto IsLower = [](char c) { return c >= 'a' && c <= 'z'; };
    if (strText.size() > 1 && IsUpper(strText[0]) && IsLower(strText[1]))
        strText[0] = char(strText[0] - 'A' + 'a');
    return strText;
}
