#include "ui/message_box.h"

#include <QAbstractButton>
#include <QIcon>
#include <QMessageBox>
#include <QPushButton>
#include <QString>
#include <cstdio>
#include <cstdlib>
#include <memory>

namespace {

struct SFileCloser {
    void operator()(FILE* pFile) const { std::fclose(pFile); }
};

void AppendMessageLog(EBoxKind eKind, const std::string& strText) {
    const char* szPath = std::getenv("ZAV_MESSAGE_LOG");
    if (szPath == nullptr || *szPath == '\0')
        return;
    std::unique_ptr<FILE, SFileCloser> pFile(std::fopen(szPath, "ab"));
    if (!pFile)
        return;  // the log is a test aid; the box itself still shows
    std::string strLine = MessageLogLine(eKind, strText) + "\n";
    std::fwrite(strLine.data(), 1, strLine.size(), pFile.get());
}

}  // namespace

std::string MessageLogLine(EBoxKind eKind, const std::string& strText) {
    std::string strLine = "{\"kind\": \"";
    strLine += eKind == EBoxKind::Message ? "message" : "confirm";
    strLine += "\", \"text\": \"";
    for (unsigned char c : strText) {
        switch (c) {
            case '"':
                strLine += "\\\"";
                break;
            case '\\':
                strLine += "\\\\";
                break;
            case '\n':
                strLine += "\\n";
                break;
            case '\r':
                strLine += "\\r";
                break;
            case '\t':
                strLine += "\\t";
                break;
            default:
                if (c < 0x20) {
                    char szEscape[8];
                    std::snprintf(szEscape, sizeof(szEscape), "\\u%04x", c);
                    strLine += szEscape;
                } else {
                    strLine += static_cast<char>(c);
                }
        }
    }
    strLine += "\"}";
    return strLine;
}

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
        box.button(QMessageBox::Yes)->setText(QStringLiteral("예(&Y)"));
        box.button(QMessageBox::No)->setText(QStringLiteral("아니요(&N)"));
        box.setEscapeButton(QMessageBox::No);
    } else {
        box.button(QMessageBox::Ok)->setText(QStringLiteral("확인"));
    }
    int nResult = box.exec();
    return bConfirm ? nResult == QMessageBox::Yes : true;
}
