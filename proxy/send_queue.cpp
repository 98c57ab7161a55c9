#include "send_queue.h"

bool SendQueue::Flush(IByteStream& stream, SOCKET h, int& nError) {
    // One write: what it does not take, the system cannot take now.
    std::ptrdiff_t nSent = stream.Write(h, m_strData.data() + m_nOffset, Size(), nError);
    if (nSent < 0) {
        m_nOffset = m_strData.size();
        return false;
    }
    m_nOffset += std::size_t(nSent);
    if (m_nOffset >= m_strData.size() / 2 && Size() > 0) {
        // What is held stays in step with what is queued.
        m_strData.erase(0, m_nOffset);
        m_nOffset = 0;
    }
    return true;
}
