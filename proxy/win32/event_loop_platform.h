#pragma once

#include <unordered_map>
#include <vector>

#include "socket_platform.h"

class IEventHandler;

// The part of EventLoop that is Windows': a message-only window that receives
// the sockets' WSAAsyncSelect messages, posted work and the timer. The window
// serves whichever message loop the thread runs, also a modal one.
class EventLoopPlatform {
protected:
    struct Watch {
        IEventHandler* pHandler;
        std::uint32_t nEvents;
        UINT nMessage;      // what WSAAsyncSelect posts for this registration
        bool bLookPending;  // a look at the socket has been posted
        bool bClosed;       // Windows told of the peer's close (it tells once)
    };

    HWND m_hWnd = nullptr;
    std::unordered_map<SOCKET, Watch> m_watched;
    std::vector<SOCKET> m_deferred;  // messages that came while one was being handled
    bool m_bWakeDeferred = false;
    bool m_bHeldPosted = false;  // a message to dispatch the held handlers is on its way
    bool m_bTimerDeferred = false;
    bool m_bWinsock = false;  // WSAStartup succeeded
    UINT m_nNextMessage = 0;
};
