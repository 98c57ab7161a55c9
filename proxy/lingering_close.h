#pragma once

#include <cstddef>
#include <memory>

#include "byte_stream.h"
#include "send_queue.h"
#include "socket_platform.h"

class EventLoop;

// The connections a loop has taken over at their close: each writes what is
// still pending through its stream (also to a peer that has half-closed and
// reads on), shuts its sending side through the stream (TLS: close_notify
// first) and waits (bounded) for the peer to close, so that nothing sent is
// cut off by a reset. What the peer still sends is read, wiped and dropped, up
// to a limit: past it the connection is cut at once, so a peer that floods
// it instead of reading cannot keep the loop busy.
class LingeringClose {
public:
    explicit LingeringClose(EventLoop& loop);
    ~LingeringClose();
    LingeringClose(const LingeringClose&) = delete;
    LingeringClose& operator=(const LingeringClose&) = delete;

    // Takes over fd with its stream (null: plain TCP) and what is still
    // queued (may be null). Never throws: when it cannot take the connection
    // over (out of memory), it closes it at once.
    void Start(SOCKET fd, std::unique_ptr<IByteStream> pStream,
               std::unique_ptr<SendQueue> pPending) noexcept;
    std::size_t Count() const { return m_nCount; }
    // Deletes the connections that have finished; called between batches.
    void Reap();

private:
    class Lingerer;

    void Link(Lingerer* p);
    void Unlink(Lingerer* p);

    EventLoop& m_loop;
    // Both lists are linked through the connections themselves, so taking
    // one over allocates nothing beyond it.
    Lingerer* m_pFirst = nullptr;     // lingering
    Lingerer* m_pFinished = nullptr;  // done, to be deleted between batches
    std::size_t m_nCount = 0;
};
