#include "message_boxes.h"

const char kMessageCaption[] = "Postern";

QMessageBox::StandardButton CMessageBoxes::Ask(QWidget* pOwner, const QString& strText,
                                               QMessageBox::StandardButtons buttons,
                                               QMessageBox::Icon icon) {
    QMessageBox box(icon, QString::fromLatin1(kMessageCaption), strText, buttons, pOwner);
    return static_cast<QMessageBox::StandardButton>(box.exec());
}

void CMessageBoxes::Report(QWidget* pOwner, const QString& strText) {
    // Not exec(): several reports may be open at once, and none of them holds up
    // the code that raised it.
    auto* pBox = new QMessageBox(QMessageBox::NoIcon, QString::fromLatin1(kMessageCaption), strText,
                                 QMessageBox::Ok, pOwner);
    pBox->setAttribute(Qt::WA_DeleteOnClose);
    pBox->setWindowModality(Qt::WindowModal);
    pBox->show();
}
