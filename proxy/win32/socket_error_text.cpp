#include "socket_error_text.h"

#include <windows.h>

std::string SocketErrorText(int nError) {
    char* pszText = nullptr;
    DWORD nLength = FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, DWORD(nError), 0, reinterpret_cast<char*>(&pszText), 0, nullptr);
    std::string strText = nLength > 0 ? std::string(pszText, nLength) : std::string();
    LocalFree(pszText);
    while (!strText.empty() && (strText.back() == '\n' || strText.back() == '\r' ||
                                strText.back() == '.' || strText.back() == ' '))
        strText.pop_back();
    if (strText.empty())
        strText = "Windows Sockets error " + std::to_string(nError);
    return strText;
}
