#include "ui/message_box.h"

#include <QAbstractButton>
#include <QIcon>
#include <QMessageBox>
#include <QPushButton>
#include <QString>

#include "app/window_log.h"
#include "ui/ui_texts.h"

bool ShowMessageBox(QWidget* pParent, EBoxKind eKind, const std::string& strText) {
    AppendMessageLog(eKind, strText);

    const bool bConfirm = eKind != EBoxKind::Message;
    QMessageBox box(QMessageBox::Warning, QStringLiteral("ZAV"), QString::fromStdString(strText),
                    bConfirm ? QMessageBox::Yes | QMessageBox::No : QMessageBox::Ok, pParent);
    // Server and file texts carry markup such as "<br>": shown as they are, never as rich text.
    box.setTextFormat(Qt::PlainText);
    box.setDefaultButton(eKind == EBoxKind::Confirm            ? QMessageBox::Yes
                         : eKind == EBoxKind::ConfirmDefaultNo ? QMessageBox::No
                                                               : QMessageBox::Ok);
    // The captions a Korean system gives these buttons; Y and N stay their keys.
    if (bConfirm) {
        box.button(QMessageBox::Yes)->setText(QString::fromUtf8(kButtonYes));
        box.button(QMessageBox::No)->setText(QString::fromUtf8(kButtonNo));
        box.setEscapeButton(QMessageBox::No);
    } else {
        box.button(QMessageBox::Ok)->setText(QString::fromUtf8(kButtonOk));
    }
    int nResult = box.exec();
    return bConfirm ? nResult == QMessageBox::Yes : true;
}
