// The program's message boxes: caption "ZAV", the exclamation icon, OK or Yes/No. Every box is
// appended to the message log (app/window_log.h) as it opens.
#pragma once

#include <functional>
#include <string>

#include "app/view.h"

class QWidget;

// Shows one modal box on the calling (UI) thread, after appending it to the message log;
// true for OK or Yes.
bool ShowMessageBox(QWidget* pParent, EBoxKind eKind, const std::string& strText);

// What shows the windows' boxes: ShowMessageBox, or a test's answering function. The windows
// take one when they are made and hand it on to the windows they open.
using BoxPresenter =
    std::function<bool(QWidget* pParent, EBoxKind eKind, const std::string& strText)>;

// An IMessageView for the time before any window exists (start-up) or for one parent window.
class CBoxMessageView : public IMessageView {
public:
    explicit CBoxMessageView(QWidget* pParent = nullptr, BoxPresenter fnBoxes = ShowMessageBox)
        : m_pParent(pParent), m_fnBoxes(std::move(fnBoxes)) {}
    void Message(const std::string& strText) override {
        m_fnBoxes(m_pParent, EBoxKind::Message, strText);
    }
    bool Confirm(const std::string& strText) override {
        return m_fnBoxes(m_pParent, EBoxKind::Confirm, strText);
    }
    bool ConfirmDefaultNo(const std::string& strText) override {
        return m_fnBoxes(m_pParent, EBoxKind::ConfirmDefaultNo, strText);
    }

private:
    QWidget* m_pParent;
    BoxPresenter m_fnBoxes;
};
