#include "send_path.h"

#include "async_socket.h"
#include "send_queue.h"

int SendPath::Send(CAsyncSocket& socket, const char* p, int nBufLen) {
    std::size_t nLeft = std::size_t(nBufLen);
    if (socket.m_state == CAsyncSocket::State::Connected && socket.GetSendQueued() == 0) {
        int nError = 0;
        std::ptrdiff_t nSent = socket.Stream().Write(socket.m_hSocket, p, nLeft, nError);
        if (nSent < 0) {
            socket.m_bBroken = true;
            socket.m_nCloseError = nError;
            CAsyncSocket::Fail(nError);
            socket.UpdateInterest();
            return SOCKET_ERROR;
        }
        p += nSent;
        nLeft -= std::size_t(nSent);
        if (nLeft == 0) {
            return nBufLen;
        }
    }
    if (!socket.m_pSendQueue) {
        socket.m_pSendQueue = std::make_unique<SendQueue>();
    }
    socket.m_pSendQueue->Append(p, nLeft);
    socket.UpdateInterest();
    if (socket.m_pPartner != nullptr && socket.GetSendQueued() >= CAsyncSocket::kSendHighWater) {
        socket.m_pPartner->UpdateInterest();
    }
    return nBufLen;
}

void SendPath::Flush(CAsyncSocket& socket) {
    SendQueue& queue = *socket.m_pSendQueue;
    std::size_t nBefore = queue.Size();
    int nError = 0;
    if (!queue.Flush(socket.Stream(), socket.m_hSocket, nError)) {
        socket.m_bBroken = true;
        socket.m_nCloseError = nError;
    }
    std::size_t nAfter = queue.Size();
    if (nAfter == 0) {
        socket.m_pSendQueue.reset();  // an idle connection holds no queue
    }
    socket.UpdateInterest();
    if (socket.m_pPartner != nullptr && nBefore > CAsyncSocket::kSendLowWater &&
        nAfter <= CAsyncSocket::kSendLowWater) {
        socket.m_pPartner->UpdateInterest();
    }
}

void SendPath::Drop(CAsyncSocket& socket) {
    bool bHadQueue = socket.GetSendQueued() > 0;
    socket.m_pSendQueue.reset();
    // Whatever waited for this queue to drain may read again; what it sends
    // here now fails.
    if (bHadQueue && socket.m_pPartner != nullptr)
        socket.m_pPartner->UpdateInterest();
}

bool SendPath::IsReadBlocked(CAsyncSocket& socket) {
    bool& bBlocked = socket.m_bReadBlocked;
    if (socket.m_pPartner == nullptr) {
        bBlocked = false;
    } else if (bBlocked) {
        bBlocked = socket.m_pPartner->GetSendQueued() > CAsyncSocket::kSendLowWater;
    } else {
        bBlocked = socket.m_pPartner->GetSendQueued() >= CAsyncSocket::kSendHighWater;
    }
    return bBlocked;
}
