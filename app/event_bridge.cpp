#include "event_bridge.h"

#include "event_loop.h"

CEventBridge::CEventBridge(EventLoop& loop, QObject* pParent)
    : QObject(pParent), m_loop(loop), m_notifier(loop.Fd(), QSocketNotifier::Read) {
    connect(&m_notifier, &QSocketNotifier::activated, this, &CEventBridge::OnReadable);
}

void CEventBridge::OnReadable() {
    m_loop.RunOnce(0);
}
