#pragma once

#include <QMessageBox>
#include <QPointer>
#include <QString>
#include <functional>

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
    // Shows the text in the one report box, with an OK button: opens it, or
    // changes the text of the one open. Returns at once; fnClosed runs when the
    // user closes the box.
    virtual void ShowReport(QWidget* pOwner, const QString& strText,
                            std::function<void()> fnClosed);
    // Shows a question with Yes and No (the default) and returns at once;
    // fnYes runs when the user answers Yes.
    virtual void Offer(QWidget* pOwner, const QString& strText, std::function<void()> fnYes);

private:
    QPointer<QMessageBox> m_pReportBox;
};

// Puts a box that pOwner owns in the middle of the screen when pOwner is hidden;
// over a visible owner, Qt centres it by itself.
void PlaceOverOwner(QWidget* pBox, QWidget* pOwner);

// The caption of every message box of the program.
extern const char kMessageCaption[];
