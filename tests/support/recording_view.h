// A recording fake of the main window's view: tests drive the window's logic through it,
// answer its dialogs and read back everything it showed. Safe to call from worker threads.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <initializer_list>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "app/view.h"

class CRecordingView : public IMainView {
public:
    struct SBox {
        enum EKind { Message, Confirm } eKind = Message;
        std::string strText;
        bool bAnswer = true;      // for Confirm: what the fake answered
        bool bDefaultNo = false;  // for Confirm: asked with No as the default button
        bool operator==(const SBox&) const = default;
    };

    CRecordingView() = default;
    CRecordingView(const CRecordingView&) = delete;
    CRecordingView& operator=(const CRecordingView&) = delete;

    // IMessageView / IMainView
    void Message(const std::string& strText) override;
    bool Confirm(const std::string& strText) override;
    bool ConfirmDefaultNo(const std::string& strText) override;
    bool IsChecked(int nId) override;
    void SetChecked(int nId, bool bChecked) override;
    std::string GetText(int nId) override;
    void SetText(int nId, const std::string& strText) override;
    void SetProgressWidth(int nPixels) override;
    void SetWaitCursor(bool bOn) override;
    void KeepAlive() override;
    SFolderPick PickFolder() override;

    // --- Set-up by the test -------------------------------------------------------------
    // Answers for the next confirmations, used in order; when the queue is empty the
    // default answer (Yes unless changed) is given.
    void QueueConfirmAnswers(std::initializer_list<bool> answers);
    void SetDefaultConfirmAnswer(bool bYes);
    // Outcome of every later PickFolder call (Cancelled until set).
    void SetPickResult(SFolderPick pick);
    // Called (outside the lock, on the calling thread) whenever a box opens: lets a test act
    // "while the box is shown", e.g. try a second command.
    void SetOnBox(std::function<void(const SBox&)> fn);

    // --- What happened ------------------------------------------------------------------
    std::vector<SBox> Boxes() const;            // messages and confirmations, in order
    std::vector<std::string> Texts() const;     // the texts of Boxes()
    std::vector<std::string> Messages() const;  // texts of plain messages only
    std::vector<std::string> Confirms() const;  // texts of confirmations only
    std::string LastText() const;               // text of the last box, "" when none
    std::size_t BoxCount() const;
    // Waits until at least n boxes have opened; false when the timeout ran out first.
    bool WaitForBoxes(std::size_t n,
                      std::chrono::milliseconds timeout = std::chrono::seconds(30)) const;

    std::vector<int> ProgressWidths() const;  // every SetProgressWidth value, in order
    int LastProgressWidth() const;            // -1 when never set
    std::vector<bool> WaitCursorCalls() const;
    bool WaitCursorOn() const;  // the state after the last call
    int KeepAliveCount() const;
    int PickFolderCount() const;
    // Every view call as one line ("SetText 1018 총사용량:..", "Message ..", "PickFolder"),
    // for tests of order.
    std::vector<std::string> Calls() const;
    // Index of the first call line starting with prefix, or -1.
    int FindCall(const std::string& strPrefix) const;

    // Current control state (what a test sets before it runs a handler, or reads after).
    bool Checked(int nId) const;
    std::string Text(int nId) const;
    // Forgets the recorded boxes, calls, progress and cursor history; keeps control states,
    // queued answers and the pick result.
    void ClearLog();

private:
    void Record(SBox box);
    bool Ask(const std::string& strText, bool bDefaultNo);

    mutable std::mutex m_mutex;
    mutable std::condition_variable m_cvBoxes;
    std::vector<SBox> m_vecBoxes;
    std::deque<bool> m_queAnswers;
    bool m_bDefaultAnswer = true;
    SFolderPick m_pick;
    std::function<void(const SBox&)> m_fnOnBox;
    std::map<int, bool> m_mapChecked;
    std::map<int, std::string> m_mapText;
    std::vector<int> m_vecProgress;
    std::vector<bool> m_vecWaitCursor;
    int m_nKeepAlive = 0;
    int m_nPickFolder = 0;
    std::vector<std::string> m_vecCalls;
};
