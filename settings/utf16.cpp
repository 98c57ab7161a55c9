#include "utf16.h"

#include <windows.h>

std::wstring Widen(std::string_view strText) {
    if (strText.empty()) {
        return {};
    }
    int nLength = ::MultiByteToWideChar(CP_UTF8, 0, strText.data(),
                                        static_cast<int>(strText.size()), nullptr, 0);
    std::wstring strWide(static_cast<std::size_t>(nLength), L'\0');
    ::MultiByteToWideChar(CP_UTF8, 0, strText.data(), static_cast<int>(strText.size()),
                          strWide.data(), nLength);
    return strWide;
}

std::string Narrow(std::wstring_view strWide) {
    if (strWide.empty()) {
        return {};
    }
    int nLength = ::WideCharToMultiByte(
        CP_UTF8, 0, strWide.data(), static_cast<int>(strWide.size()), nullptr, 0, nullptr, nullptr);
    std::string strText(static_cast<std::size_t>(nLength), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, strWide.data(), static_cast<int>(strWide.size()),
                          strText.data(), nLength, nullptr, nullptr);
    return strText;
}
