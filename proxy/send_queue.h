#pragma once

#include <cstddef>
#include <string>

#include "byte_stream.h"

// The bytes a socket has accepted from Send that the system has not taken
// yet. Made only when a Send does not go through at once, and handed to the
// lingering close when the socket closes with bytes still queued.
class SendQueue {
public:
    std::size_t Size() const { return m_strData.size() - m_nOffset; }
    void Append(const char* p, std::size_t n) { m_strData.append(p, n); }
    // Writes what the stream takes now; false when the connection is broken
    // (the error in nError; the queue is then dropped).
    bool Flush(IByteStream& stream, SOCKET h, int& nError);

private:
    std::string m_strData;
    std::size_t m_nOffset = 0;
};
