#pragma once

#include <QDialog>

// The About box: program name and version. OK, Enter and Escape close it.
class CAboutDlg : public QDialog {
    Q_OBJECT

public:
    explicit CAboutDlg(QWidget* pParent = nullptr);
    ~CAboutDlg() override;
};
