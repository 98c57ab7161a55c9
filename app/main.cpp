// postern: the tray application.

#include <cstdio>
#include <cstring>

#include "postern_version.h"
#include "process_guard.h"
#include "proxy_app.h"

namespace {

constexpr char kUsage[] =
    "Usage: postern [--help] [--version]\n"
    "\n"
    "Puts an icon in the desktop's status area and waits for mail clients on the\n"
    "local port; takes their USER and PASS, and logs in to the POP3 server with\n"
    "APOP, so the password never crosses the network. The icon's menu opens the\n"
    "configuration. One postern runs at a time: a second start shows the first\n"
    "one's configuration and ends.\n"
    "\n"
    "  -h, --help  show this help and exit\n"
    "  --version   show the version and exit\n"
    "\n"
    "The settings are kept in ~/.config/quill/Postern/postern.conf (or under\n"
    "$XDG_CONFIG_HOME); posternd(8) runs the same proxy without a desktop.\n";

}  // namespace

int main(int argc, char** argv) {
    GuardProcess();
    // Before the desktop is opened and the running one is asked to show
    // itself: these work without a display, and beside a running postern.
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (std::strcmp(argv[i], "--version") == 0) {
            std::puts("postern (Postern) " POSTERN_VERSION_SHORT);
            return 0;
        }
    }
    CProxyApp app(argc, argv);
    return app.InitInstance();
}
