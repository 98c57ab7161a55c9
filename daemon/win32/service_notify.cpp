#include "service_notify.h"

// Windows has no systemd to tell.
bool NotifyServiceManager(const char*) {
    return true;
}
