#include "console.h"

#include <windows.h>

#include <string>
#include <vector>

#include "utf16.h"

// The wide command line: the ANSI one loses every character outside its code
// page, so "C:\Users\Jürgen\posternd.conf" could not be opened.
int wmain(int argc, wchar_t** argv) {
    std::vector<std::string> args;
    for (int i = 0; i < argc; ++i) args.push_back(Narrow(argv[i]));
    std::vector<char*> pointers;
    for (std::string& strArg : args) pointers.push_back(strArg.data());
    pointers.push_back(nullptr);
    return PosterndMain(argc, pointers.data());
}

void WriteText(std::FILE* pStream, std::string_view strText) {
    HANDLE hOut = GetStdHandle(pStream == stderr ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE);
    DWORD nMode = 0;
    std::fflush(pStream);
    if (hOut != INVALID_HANDLE_VALUE && GetConsoleMode(hOut, &nMode)) {
        // A console shows UTF-16 as it is, whatever its code page.
        std::wstring strWide = Widen(strText);
        DWORD nWritten = 0;
        WriteConsoleW(hOut, strWide.data(), DWORD(strWide.size()), &nWritten, nullptr);
        return;
    }
    std::fwrite(strText.data(), 1, strText.size(), pStream);
    std::fflush(pStream);
}
