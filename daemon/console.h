#pragma once

#include <cstdio>
#include <string_view>

// posternd itself, once its command line is UTF-8 text on every system: the
// system's entry point (posix/console.cpp, win32/console.cpp) converts and calls it.
int PosterndMain(int argc, char** argv);

// Writes UTF-8 text to stdout or stderr so that a console shows it as written;
// redirected to a file or pipe, the bytes stay UTF-8.
void WriteText(std::FILE* pStream, std::string_view strText);
