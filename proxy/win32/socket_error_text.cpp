#include "socket_error_text.h"

#include <windows.h>

#include "utf16.h"

std::string SocketErrorText(int nError) {
    // The wide text: the narrow one comes in the ANSI code page, not UTF-8.
    wchar_t* pszText = nullptr;
    DWORD nLength = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, DWORD(nError), 0, reinterpret_cast<wchar_t*>(&pszText), 0, nullptr);
    std::wstring strText = nLength > 0 ? std::wstring(pszText, nLength) : std::wstring();
    LocalFree(pszText);
    while (!strText.empty() && (strText.back() == L'\n' || strText.back() == L'\r' ||
                                strText.back() == L'.' || strText.back() == L' '))
        strText.pop_back();
    // Read after a colon in a sentence ("cannot listen on port 110: ..."), so
    // it starts in lower case.
    if (strText.empty())
        return "socket error " + std::to_string(nError);
    return Narrow(strText);
}
