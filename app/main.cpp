// postern: the tray application.

#include "proxy_app.h"

int main(int argc, char** argv) {
    CProxyApp app(argc, argv);
    return app.InitInstance();
}
