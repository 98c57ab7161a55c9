#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "socket_platform.h"

class EventLoop;

// The connections a loop has taken over at their close: each writes what is
// still pending (also to a peer that has half-closed and reads on), shuts its
// sending side and waits (bounded) for the peer to close, so that nothing sent
// is cut off by a reset. What the peer still sends is read, wiped and dropped.
class LingeringClose {
public:
    explicit LingeringClose(EventLoop& loop);
    ~LingeringClose();
    LingeringClose(const LingeringClose&) = delete;
    LingeringClose& operator=(const LingeringClose&) = delete;

    void Start(SOCKET fd, std::string strPending, std::size_t nOffset);
    std::size_t Count() const { return m_lingering.size(); }
    // Deletes the connections that have finished; called between batches.
    void Reap();

private:
    class Lingerer;

    EventLoop& m_loop;
    std::unordered_map<Lingerer*, std::unique_ptr<Lingerer>> m_lingering;
    std::vector<Lingerer*> m_finished;
};
