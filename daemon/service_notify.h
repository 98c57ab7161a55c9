#pragma once

// Tells the service manager (systemd, Type=notify) how posternd is doing, by one
// datagram such as "READY=1" to the socket in $NOTIFY_SOCKET. Without that
// variable there is nobody to tell, and it does nothing. Returns false, with
// errno set, when the message could not be sent.
bool NotifyServiceManager(const char* pszState);
