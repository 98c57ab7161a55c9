#include "pop3_text.h"

#include <cstring>

#include "memory_ops.h"

namespace pop3 {

std::size_t LineLength(const char* p, std::size_t n) {
    const void* pCR = std::memchr(p, '\r', n);
    if (pCR == nullptr) {
        return 0;
    }
    std::size_t length = static_cast<const char*>(pCR) - p + 1;
    if (length < n && p[length] == '\n') {
        ++length;
    }
    return length;
}

std::size_t CompleteLinesLength(const char* p, std::size_t n, bool bAfterCR) {
    const void* pCR = n > 0 ? memrchr(p, '\r', n) : nullptr;
    if (pCR == nullptr) {
        return bAfterCR && n > 0 && p[0] == '\n' ? 1 : 0;
    }
    std::size_t length = static_cast<const char*>(pCR) - p + 1;
    if (length < n && p[length] == '\n') {
        ++length;
    }
    return length;
}

std::size_t SplitWords(std::string_view line, std::string_view* pWords, std::size_t nMax) {
    auto isSeparator = [](char c) { return c == ' ' || c == '\r' || c == '\n'; };
    std::size_t nWords = 0;
    std::size_t i = 0;
    while (nWords < nMax) {
        while (i < line.size() && isSeparator(line[i])) ++i;
        if (i == line.size())
            break;
        std::size_t start = i;
        while (i < line.size() && !isSeparator(line[i])) ++i;
        pWords[nWords++] = line.substr(start, i - start);
    }
    return nWords;
}

std::string_view RestOfLine(std::string_view line, std::string_view word) {
    std::size_t nStart = std::size_t(word.data() + word.size() - line.data());
    if (nStart < line.size() && line[nStart] == ' ')
        ++nStart;
    std::size_t nEnd = line.size();
    while (nEnd > nStart && (line[nEnd - 1] == '\r' || line[nEnd - 1] == '\n')) --nEnd;
    return line.substr(nStart, nEnd - nStart);
}

std::string_view CommandWord(std::string_view line) {
    // An LF in front ends the line before, which was split at its CR.
    auto isLeadingBlank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    auto endsWord = [](char c) { return static_cast<unsigned char>(c) <= ' ' || c == '\x7f'; };
    std::size_t nStart = 0;
    while (nStart < line.size() && isLeadingBlank(line[nStart])) ++nStart;
    std::size_t nEnd = nStart;
    while (nEnd < line.size() && !endsWord(line[nEnd])) ++nEnd;
    return line.substr(nStart, nEnd - nStart);
}

bool IsCommand(std::string_view word, std::string_view command) {
    if (word.size() != command.size()) {
        return false;
    }
    for (std::size_t i = 0; i < word.size(); ++i) {
        char c = word[i];
        if (c >= 'a' && c <= 'z')
            c = char(c - 'a' + 'A');
        if (c != command[i])
            return false;
    }
    return true;
}

std::string_view FindTimeStamp(std::string_view line) {
    std::size_t open = std::string_view::npos;
    for (std::size_t i = 0; i < line.size(); ++i) {
        if (line[i] == '<') {
            open = i;
        } else if (line[i] == '>') {
            if (open == std::string_view::npos)
                return {};
            return line.substr(open, i - open + 1);
        }
    }
    return {};
}

}  // namespace pop3
