// The program's message boxes: caption "ZAV", the exclamation icon, OK or Yes/No.
//
// ZAV_MESSAGE_LOG: when this environment variable names a file, every box is appended to it
// as it opens, one JSON object per line ({"kind": "message" or "confirm", "text": "..."},
// UTF-8), so that tests outside the process can read what the program showed.
#pragma once

#include <functional>
#include <string>

#include "app/view.h"

class QWidget;

// ConfirmDefaultNo is a Yes/No box whose default button (Enter) is No; the log calls it "confirm".
enum class EBoxKind { Message, Confirm, ConfirmDefaultNo };

// Shows one modal box on the calling (UI) thread; true for OK or Yes.
bool ShowMessageBox(QWidget* pParent, EBoxKind eKind, const std::string& strText);

// For tests: answers every box instead of showing it (the message log is still written).
// An empty function restores the real boxes.
using MessageBoxHook = std::function<bool(EBoxKind eKind, const std::string& strText)>;
void SetMessageBoxHook(MessageBoxHook fnHook);

// One line of the message log, without the newline.
std::string MessageLogLine(EBoxKind eKind, const std::string& strText);

// An IMessageView for the time before any window exists (start-up) or for one parent window.
class CBoxMessageView : public IMessageView {
public:
    explicit CBoxMessageView(QWidget* pParent = nullptr) : m_pParent(pParent) {}
    void Message(const std::string& strText) override {
        ShowMessageBox(m_pParent, EBoxKind::Message, strText);
    }
    bool Confirm(const std::string& strText) override {
        return ShowMessageBox(m_pParent, EBoxKind::Confirm, strText);
    }
    bool ConfirmDefaultNo(const std::string& strText) override {
        return ShowMessageBox(m_pParent, EBoxKind::ConfirmDefaultNo, strText);
    }

private:
    QWidget* m_pParent;
};
