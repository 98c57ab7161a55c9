#pragma once

#include <string>
#include <string_view>

// The program speaks UTF-8; Windows speaks UTF-16.
std::wstring Widen(std::string_view strText);
std::string Narrow(std::wstring_view strWide);
