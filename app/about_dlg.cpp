#include "about_dlg.h"

#include "ui_about_dlg.h"

CAboutDlg::CAboutDlg(QWidget* pParent) : QDialog(pParent) {
    Ui::CAboutDlg ui;
    ui.setupUi(this);
    setWindowIcon(QIcon(QStringLiteral(":/icons/postern-32.png")));
}

CAboutDlg::~CAboutDlg() = default;
