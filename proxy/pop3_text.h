#pragma once

#include <cstddef>
#include <string_view>

// The small pieces of POP3 text handling shared by the session and the server
// link. A line runs from the front of the held bytes up to and including the
// first CR, plus one LF when that LF has already been received; a bare LF does
// not end a line.
namespace pop3 {

// Length of the first line in p[0, n), terminator included, or 0 when no CR is held.
std::size_t LineLength(const char* p, std::size_t n);

// How many leading bytes of p[0, n) can be relayed now: everything up to the
// end of the last complete line. bAfterCR says the byte relayed just before p
// was a CR, so that an LF arriving late on its own completes that line at once
// instead of waiting for the next CR.
std::size_t CompleteLinesLength(const char* p, std::size_t n, bool bAfterCR);

// Splits a line into words separated by runs of space, CR and LF. Fills at most
// nMax words and returns how many it filled.
std::size_t SplitWords(std::string_view line, std::string_view* pWords, std::size_t nMax);

// The argument of a command line as RFC 1939 has it: everything after the
// command word (a view into line) and the one space behind it, the line end
// left out; spaces inside belong to it, as in a password.
std::string_view RestOfLine(std::string_view line, std::string_view word);

// The command word of a line: after any leading spaces, tabs and line ends, up to the
// first whitespace or control character (or the line's end). The login and the
// relay both read commands with it, so a PASS that one of them would take for a
// command the other cannot let through.
std::string_view CommandWord(std::string_view line);

// True when word is the command, compared without regard to letter case.
bool IsCommand(std::string_view word, std::string_view command);

// The time stamp of a server greeting: from the last "<" before the first ">"
// through that ">". Empty when the line has no ">" or no "<" before it.
std::string_view FindTimeStamp(std::string_view line);

}  // namespace pop3
