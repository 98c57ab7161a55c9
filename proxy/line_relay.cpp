#include "line_relay.h"

#include <algorithm>
#include <cstring>

#include "client_socket.h"
#include "pop3_text.h"

namespace relay {

namespace {

// Sends the first nLength bytes of p and keeps the rest, which fits the buffer.
void SendAndKeepRest(CAsyncSocket& to, const char* p, std::size_t nTotal, std::size_t nLength,
                     char* buffer, int& nCount, bool& bAfterCR) {
    if (nTotal - nLength > RECV_BUFFER_SIZE) {
        nLength = nTotal;  // a line longer than the buffer passes on as it comes
    }
    if (nLength > 0) {
        to.Send(p, int(nLength));
        bAfterCR = p[nLength - 1] == '\r';
    }
    std::memmove(buffer, p + nLength, nTotal - nLength);
    nCount = int(nTotal - nLength);
}

}  // namespace

int RelayLines(CAsyncSocket& from, CAsyncSocket& to, char* buffer, int& nCount, bool& bAfterCR) {
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
    std::size_t nTotal = nHeld + std::size_t(nReceived);
    std::size_t nLines = pop3::CompleteLinesLength(pScratch, nTotal, bAfterCR);
    SendAndKeepRest(to, pScratch, nTotal, nLines, buffer, nCount, bAfterCR);
    return nReceived;
}

void ForwardHeldLines(CAsyncSocket& to, char* buffer, int& nCount, bool& bAfterCR) {
    std::size_t nTotal = std::size_t(nCount);
    std::size_t nLines = pop3::CompleteLinesLength(buffer, nTotal, bAfterCR);
    SendAndKeepRest(to, buffer, nTotal, nLines, buffer, nCount, bAfterCR);
}

void ForwardAllHeld(CAsyncSocket& to, char* buffer, int& nCount) {
    if (nCount > 0) {
        to.Send(buffer, nCount);
        nCount = 0;
    }
}

void DropLateLF(CAsyncSocket& from, bool& bPending) {
    char c = 0;
    if (from.Receive(&c, 1, MSG_PEEK) != 1) {
        return;
    }
    bPending = false;
    if (c == '\n') {
        from.Receive(&c, 1);
    }
}

}  // namespace relay
