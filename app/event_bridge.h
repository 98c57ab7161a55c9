#pragma once

#include <QObject>
#include <QSocketNotifier>

class EventLoop;

// Runs the proxy's EventLoop inside the Qt event loop: the loop's epoll
// descriptor is readable whenever it has work, so one notifier serves every
// socket, and nested Qt loops (message boxes, the About box) keep the proxy going.
class CEventBridge : public QObject {
    Q_OBJECT

public:
    explicit CEventBridge(EventLoop& loop, QObject* pParent = nullptr);

private:
    void OnReadable();

    EventLoop& m_loop;
    QSocketNotifier m_notifier;
};
