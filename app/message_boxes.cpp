#include "message_boxes.h"

#include <QScreen>

const char kMessageCaption[] = "Postern";

QMessageBox::StandardButton CMessageBoxes::Ask(QWidget* pOwner, const QString& strText,
                                               QMessageBox::StandardButtons buttons,
                                               QMessageBox::Icon icon) {
    QMessageBox box(icon, QString::fromLatin1(kMessageCaption), strText, buttons, pOwner);
    PlaceOverOwner(&box, pOwner);
    return static_cast<QMessageBox::StandardButton>(box.exec());
}

void CMessageBoxes::Report(QWidget* pOwner, const QString& strText) {
    // Not exec(): several reports may be open at once, and none of them holds up
    // the code that raised it.
    auto* pBox = new QMessageBox(QMessageBox::NoIcon, QString::fromLatin1(kMessageCaption), strText,
                                 QMessageBox::Ok, pOwner);
    pBox->setAttribute(Qt::WA_DeleteOnClose);
    pBox->setWindowModality(Qt::WindowModal);
    PlaceOverOwner(pBox, pOwner);
    pBox->show();
}

void PlaceOverOwner(QWidget* pBox, QWidget* pOwner) {
    // A hidden owner has no place of its own on screen: Qt would put the box over
    // wherever the owner was last, or in the corner if it never was shown.
    if (pOwner == nullptr || pOwner->isVisible()) {
        return;
    }
    pBox->adjustSize();
    QRect rcBox = pBox->frameGeometry();
    rcBox.moveCenter(pOwner->screen()->availableGeometry().center());
    pBox->move(rcBox.topLeft());
}
