#include "message_boxes.h"

#include <QCloseEvent>
#include <QKeyEvent>
#include <QScreen>

const char kMessageCaption[] = "Postern";

namespace {

// A question without a Cancel button is answered only by its buttons: Escape
// and the window's close button do not count as No.
class CQuestionBox : public QMessageBox {
public:
    CQuestionBox(Icon icon, const QString& strText, StandardButtons buttons, QWidget* pOwner)
        : QMessageBox(icon, QString::fromLatin1(kMessageCaption), strText, buttons, pOwner),
          m_bCancellable(buttons.testFlag(Cancel)) {}

protected:
    void keyPressEvent(QKeyEvent* pEvent) override {
        if (!m_bCancellable && pEvent->key() == Qt::Key_Escape) {
            return;
        }
        QMessageBox::keyPressEvent(pEvent);
    }
    void closeEvent(QCloseEvent* pEvent) override {
        if (!m_bCancellable) {
            pEvent->ignore();
            return;
        }
        QMessageBox::closeEvent(pEvent);
    }

private:
    bool m_bCancellable;
};

}  // namespace

QMessageBox::StandardButton CMessageBoxes::Ask(QWidget* pOwner, const QString& strText,
                                               QMessageBox::StandardButtons buttons,
                                               QMessageBox::Icon icon) {
    CQuestionBox box(icon, strText, buttons, pOwner);
    // Window-modal: the tray icon and its menu keep answering while it is open.
    box.setWindowModality(Qt::WindowModal);
    PlaceOverOwner(&box, pOwner);
    return static_cast<QMessageBox::StandardButton>(box.exec());
}

void CMessageBoxes::ShowReport(QWidget* pOwner, const QString& strText,
                               std::function<void()> fnClosed) {
    if (m_pReportBox != nullptr) {
        m_pReportBox->setText(strText);
        return;
    }
    // Not exec(), and not modal: it holds up neither the code that raised the
    // report nor the dialog (a box shown while the dialog is hidden may end up
    // under it).
    m_pReportBox = new QMessageBox(QMessageBox::NoIcon, QString::fromLatin1(kMessageCaption),
                                   strText, QMessageBox::Ok, pOwner);
    m_pReportBox->setAttribute(Qt::WA_DeleteOnClose);
    m_pReportBox->setWindowModality(Qt::NonModal);
    QObject::connect(m_pReportBox, &QMessageBox::finished, m_pReportBox,
                     [fnClosed = std::move(fnClosed)] { fnClosed(); });
    m_pReportBox->show();
    // Placed once shown: a message box settles its size (word-wrapping a
    // long text) only as it is shown.
    PlaceOverOwner(m_pReportBox, pOwner);
}

void CMessageBoxes::Offer(QWidget* pOwner, const QString& strText, std::function<void()> fnYes) {
    // Open and answered as a report is: it holds up nothing while it waits.
    auto* pBox = new QMessageBox(QMessageBox::Question, QString::fromLatin1(kMessageCaption),
                                 strText, QMessageBox::Yes | QMessageBox::No, pOwner);
    pBox->setDefaultButton(QMessageBox::No);
    pBox->setAttribute(Qt::WA_DeleteOnClose);
    pBox->setWindowModality(Qt::NonModal);
    QObject::connect(pBox, &QMessageBox::finished, pBox, [pBox, fnYes = std::move(fnYes)] {
        if (pBox->clickedButton() == pBox->button(QMessageBox::Yes)) {
            fnYes();
        }
    });
    pBox->show();
    PlaceOverOwner(pBox, pOwner);  // once shown, as a report
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
