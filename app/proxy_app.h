#pragma once

#include <QApplication>

// The tray application: start-up, then the configuration dialog for the whole
// life of the program.
class CProxyApp : public QApplication {
    Q_OBJECT

public:
    CProxyApp(int& argc, char** argv);

    // Runs the program; returns its exit status.
    int InitInstance();
};
