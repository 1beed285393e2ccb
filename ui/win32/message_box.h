// The program's message boxes on Windows: MessageBoxW with the caption "ZAV", the exclamation
// icon, OK or Yes/No (No the default button for ConfirmDefaultNo). Every box is appended to the
// message log (app/window_log.h) as it opens.
#pragma once

#include <windows.h>

#include <functional>
#include <string>

#include "app/view.h"

// Shows one modal box owned by hOwner on the calling (UI) thread; true for OK or Yes.
bool ShowMessageBox(HWND hOwner, EBoxKind eKind, const std::string& strText);

// What shows the windows' boxes: ShowMessageBox, or a test's answering function. The windows
// take one when they are made and hand it on to the windows they open.
using BoxPresenter = std::function<bool(HWND hOwner, EBoxKind eKind, const std::string& strText)>;

// An IMessageView for the time before any window exists (start-up) or for one owner window.
class CBoxMessageView : public IMessageView {
public:
    explicit CBoxMessageView(HWND hOwner = nullptr, BoxPresenter fnBoxes = ShowMessageBox)
        : m_hOwner(hOwner), m_fnBoxes(std::move(fnBoxes)) {}
    void Message(const std::string& strText) override {
        m_fnBoxes(m_hOwner, EBoxKind::Message, strText);
    }
    bool Confirm(const std::string& strText) override {
        return m_fnBoxes(m_hOwner, EBoxKind::Confirm, strText);
    }
    bool ConfirmDefaultNo(const std::string& strText) override {
        return m_fnBoxes(m_hOwner, EBoxKind::ConfirmDefaultNo, strText);
    }

private:
    HWND m_hOwner;
    BoxPresenter m_fnBoxes;
};
