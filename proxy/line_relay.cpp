#include "line_relay.h"

#include <algorithm>
#include <cstring>

#include "client_socket.h"
#include "memory_ops.h"
#include "pop3_text.h"

namespace relay {

namespace {

bool IsLineEnd(char c) {
    return c == '\r' || c == '\n';
}

// Where the first line of p[0, n) whose command word is PASS or AUTH begins, or n.
std::size_t FindSecretLine(const char* p, std::size_t n, bool bAtLineStart) {
    std::size_t nLineStart = 0;
    if (!bAtLineStart) {
        while (nLineStart < n && !IsLineEnd(p[nLineStart])) ++nLineStart;
    }
    while (nLineStart < n) {
        std::size_t nLineEnd = nLineStart;
        while (nLineEnd < n && !IsLineEnd(p[nLineEnd])) ++nLineEnd;
        std::string_view word = pop3::CommandWord({p + nLineStart, nLineEnd - nLineStart});
        if (pop3::IsCommand(word, "PASS") || pop3::IsCommand(word, "AUTH"))
            return nLineStart;
        nLineStart = nLineEnd + 1;
    }
    return n;
}

// At a refused line the session ends: what came before it goes on, partial
// line included, and it and what follows are wiped and dropped.
bool Guard(LineGuard& guard, char* p, std::size_t& nTotal, std::size_t& nLength) {
    std::size_t nSecret = FindSecretLine(p, nTotal, !guard.bMidLine);
    if (nSecret == nTotal)
        return false;
    explicit_bzero(p + nSecret, nTotal - nSecret);
    guard.bRefused = true;
    nLength = nTotal = nSecret;
    return true;
}

// Sends the first nLength bytes of p and keeps the rest, which fits the buffer.
void SendAndKeepRest(CAsyncSocket& to, char* p, std::size_t nTotal, std::size_t nLength,
                     char* buffer, int& nCount, bool& bAfterCR, LineGuard* pGuard) {
    if (nTotal - nLength > RECV_BUFFER_SIZE) {
        nLength = nTotal;  // a line longer than the buffer passes on as it comes
    }
    if (pGuard != nullptr && Guard(*pGuard, p, nTotal, nLength) && p != buffer) {
        explicit_bzero(buffer, RECV_BUFFER_SIZE);
    }
    if (pGuard != nullptr && nLength > 0) {
        pGuard->bMidLine = !IsLineEnd(p[nLength - 1]);
    }
    if (nLength > 0) {
        to.Send(p, int(nLength));
        bAfterCR = p[nLength - 1] == '\r';
    }
    std::memmove(buffer, p + nLength, nTotal - nLength);
    nCount = int(nTotal - nLength);
}

}  // namespace

int ReceiveHeld(CAsyncSocket& from, char* buffer, int& nCount, bool& bDropLF) {
    int nReceived = from.Receive(buffer + nCount, RECV_BUFFER_SIZE - nCount);
    if (nReceived > 0) {
        int nNew = nReceived;
        DropLateLF(buffer + nCount, nNew, bDropLF);
        nCount += nNew;
    }
    return nReceived;
}

void RemoveHeld(char* buffer, int& nCount, int nLength) {
    std::memmove(buffer, buffer + nLength, std::size_t(nCount - nLength));
    std::memset(buffer + nCount - nLength, 0, std::size_t(nLength));
    nCount -= nLength;
}

int RelayLines(CAsyncSocket& from, CAsyncSocket& to, char* buffer, int& nCount, bool& bAfterCR,
               bool& bDropLF, LineGuard* pGuard) {
    char* pScratch = EventLoop::Current()->Scratch();
    std::size_t nHeld = std::size_t(nCount);
    std::size_t nLimit = EventLoop::kScratchSize - nHeld;
    // A large chunk when the other side keeps up; once it falls behind, no more
    // than it may still queue, so a slow reader bounds what we hold.
    if (to.GetSendQueued() > 0) {
        nLimit = std::min(nLimit, std::max<std::size_t>(to.GetSendRoom(), 1));
    }
    std::memcpy(pScratch, buffer, nHeld);
    int nReceived = from.Receive(pScratch + nHeld, int(nLimit));
    if (nReceived <= 0) {
        return nReceived;
    }
    int nNew = nReceived;
    DropLateLF(pScratch + nHeld, nNew, bDropLF);
    std::size_t nTotal = nHeld + std::size_t(nNew);
    std::size_t nLines = pop3::CompleteLinesLength(pScratch, nTotal, bAfterCR);
    SendAndKeepRest(to, pScratch, nTotal, nLines, buffer, nCount, bAfterCR, pGuard);
    return nReceived;
}

void ForwardHeldLines(CAsyncSocket& to, char* buffer, int& nCount, bool& bAfterCR,
                      LineGuard* pGuard) {
    std::size_t nTotal = std::size_t(nCount);
    std::size_t nLines = pop3::CompleteLinesLength(buffer, nTotal, bAfterCR);
    SendAndKeepRest(to, buffer, nTotal, nLines, buffer, nCount, bAfterCR, pGuard);
}

void ForwardAllHeld(CAsyncSocket& to, char* buffer, int& nCount, LineGuard* pGuard) {
    if (pGuard != nullptr && nCount > 0) {
        std::size_t nTotal = std::size_t(nCount);
        std::size_t nLength = nTotal;
        Guard(*pGuard, buffer, nTotal, nLength);
        nCount = int(nLength);
    }
    if (nCount > 0) {
        to.Send(buffer, nCount);
        nCount = 0;
    }
}

void DropLateLF(char* pNew, int& nNew, bool& bPending) {
    if (!bPending)
        return;
    bPending = false;
    if (pNew[0] == '\n') {
        std::memmove(pNew, pNew + 1, std::size_t(nNew - 1));
        --nNew;
    }
}

}  // namespace relay
