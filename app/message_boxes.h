#pragma once

#include <QMessageBox>
#include <QString>

class QWidget;

// The questions and messages the configuration dialog puts to the user. Tests
// replace it to answer the questions themselves.
class CMessageBoxes {
public:
    virtual ~CMessageBoxes() = default;

    // Asks and waits for the answer; the proxy keeps running meanwhile.
    virtual QMessageBox::StandardButton Ask(QWidget* pOwner, const QString& strText,
                                            QMessageBox::StandardButtons buttons,
                                            QMessageBox::Icon icon);
    // Shows a message with an OK button and returns at once.
    virtual void Report(QWidget* pOwner, const QString& strText);
};

// Puts a box that pOwner owns in the middle of the screen when pOwner is hidden;
// over a visible owner, Qt centres it by itself.
void PlaceOverOwner(QWidget* pBox, QWidget* pOwner);

// The caption of every message box of the program.
extern const char kMessageCaption[];
