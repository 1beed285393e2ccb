#include "support/recording_view.h"

void CRecordingView::Record(SBox box) {
    std::function<void(const SBox&)> fn;
    {
        std::lock_guard lock(m_mutex);
        m_vecCalls.push_back((box.eKind == SBox::Message ? "Message " : "Confirm ") + box.strText);
        m_vecBoxes.push_back(box);
        fn = m_fnOnBox;
    }
    m_cvBoxes.notify_all();
    if (fn)
        fn(box);
}

void CRecordingView::Message(const std::string& strText) {
    Record({SBox::Message, strText, true});
}

bool CRecordingView::Confirm(const std::string& strText) {
    return Ask(strText, false);
}

bool CRecordingView::ConfirmDefaultNo(const std::string& strText) {
    return Ask(strText, true);
}

bool CRecordingView::Ask(const std::string& strText, bool bDefaultNo) {
    bool bAnswer;
    {
        std::lock_guard lock(m_mutex);
        if (m_queAnswers.empty()) {
            bAnswer = m_bDefaultAnswer;
        } else {
            bAnswer = m_queAnswers.front();
            m_queAnswers.pop_front();
        }
    }
    Record({SBox::Confirm, strText, bAnswer, bDefaultNo});
    return bAnswer;
}

bool CRecordingView::IsChecked(int nId) {
    std::lock_guard lock(m_mutex);
    auto it = m_mapChecked.find(nId);
    return it != m_mapChecked.end() && it->second;
}

void CRecordingView::SetChecked(int nId, bool bChecked) {
    std::lock_guard lock(m_mutex);
    m_mapChecked[nId] = bChecked;
    m_vecCalls.push_back("SetChecked " + std::to_string(nId) + (bChecked ? " 1" : " 0"));
}

std::string CRecordingView::GetText(int nId) {
    std::lock_guard lock(m_mutex);
    auto it = m_mapText.find(nId);
    return it == m_mapText.end() ? std::string() : it->second;
}

void CRecordingView::SetText(int nId, const std::string& strText) {
    std::lock_guard lock(m_mutex);
    m_mapText[nId] = strText;
    m_vecCalls.push_back("SetText " + std::to_string(nId) + " " + strText);
}

void CRecordingView::SetProgressWidth(int nPixels) {
    std::lock_guard lock(m_mutex);
    m_vecProgress.push_back(nPixels);
    m_vecCalls.push_back("SetProgressWidth " + std::to_string(nPixels));
}

void CRecordingView::SetWaitCursor(bool bOn) {
    std::lock_guard lock(m_mutex);
    m_vecWaitCursor.push_back(bOn);
    m_vecCalls.push_back(bOn ? "SetWaitCursor 1" : "SetWaitCursor 0");
}

void CRecordingView::KeepAlive() {
    std::lock_guard lock(m_mutex);
    ++m_nKeepAlive;
}

SFolderPick CRecordingView::PickFolder() {
    std::lock_guard lock(m_mutex);
    ++m_nPickFolder;
    m_vecCalls.push_back("PickFolder");
    return m_pick;
}

void CRecordingView::QueueConfirmAnswers(std::initializer_list<bool> answers) {
    std::lock_guard lock(m_mutex);
    m_queAnswers.insert(m_queAnswers.end(), answers.begin(), answers.end());
}

void CRecordingView::SetDefaultConfirmAnswer(bool bYes) {
    std::lock_guard lock(m_mutex);
    m_bDefaultAnswer = bYes;
}

void CRecordingView::SetPickResult(SFolderPick pick) {
    std::lock_guard lock(m_mutex);
    m_pick = std::move(pick);
}

void CRecordingView::SetOnBox(std::function<void(const SBox&)> fn) {
    std::lock_guard lock(m_mutex);
    m_fnOnBox = std::move(fn);
}

std::vector<CRecordingView::SBox> CRecordingView::Boxes() const {
    std::lock_guard lock(m_mutex);
    return m_vecBoxes;
}

std::vector<std::string> CRecordingView::Texts() const {
    std::lock_guard lock(m_mutex);
    std::vector<std::string> vec;
    for (const SBox& box : m_vecBoxes)
        vec.push_back(box.strText);
    return vec;
}

std::vector<std::string> CRecordingView::Messages() const {
    std::lock_guard lock(m_mutex);
    std::vector<std::string> vec;
    for (const SBox& box : m_vecBoxes)
        if (box.eKind == SBox::Message)
            vec.push_back(box.strText);
    return vec;
}

std::vector<std::string> CRecordingView::Confirms() const {
    std::lock_guard lock(m_mutex);
    std::vector<std::string> vec;
    for (const SBox& box : m_vecBoxes)
        if (box.eKind == SBox::Confirm)
            vec.push_back(box.strText);
    return vec;
}

std::string CRecordingView::LastText() const {
    std::lock_guard lock(m_mutex);
    return m_vecBoxes.empty() ? std::string() : m_vecBoxes.back().strText;
}

std::size_t CRecordingView::BoxCount() const {
    std::lock_guard lock(m_mutex);
    return m_vecBoxes.size();
}

bool CRecordingView::WaitForBoxes(std::size_t n, std::chrono::milliseconds timeout) const {
    std::unique_lock lock(m_mutex);
    return m_cvBoxes.wait_for(lock, timeout, [&] { return m_vecBoxes.size() >= n; });
}

std::vector<int> CRecordingView::ProgressWidths() const {
    std::lock_guard lock(m_mutex);
    return m_vecProgress;
}

int CRecordingView::LastProgressWidth() const {
    std::lock_guard lock(m_mutex);
    return m_vecProgress.empty() ? -1 : m_vecProgress.back();
}

std::vector<bool> CRecordingView::WaitCursorCalls() const {
    std::lock_guard lock(m_mutex);
    return m_vecWaitCursor;
}

bool CRecordingView::WaitCursorOn() const {
    std::lock_guard lock(m_mutex);
    return !m_vecWaitCursor.empty() && m_vecWaitCursor.back();
}

int CRecordingView::KeepAliveCount() const {
    std::lock_guard lock(m_mutex);
    return m_nKeepAlive;
}

int CRecordingView::PickFolderCount() const {
    std::lock_guard lock(m_mutex);
    return m_nPickFolder;
}

std::vector<std::string> CRecordingView::Calls() const {
    std::lock_guard lock(m_mutex);
    return m_vecCalls;
}

int CRecordingView::FindCall(const std::string& strPrefix) const {
    std::lock_guard lock(m_mutex);
    for (std::size_t i = 0; i < m_vecCalls.size(); ++i)
        if (m_vecCalls[i].rfind(strPrefix, 0) == 0)
            return static_cast<int>(i);
    return -1;
}

bool CRecordingView::Checked(int nId) const {
    std::lock_guard lock(m_mutex);
    auto it = m_mapChecked.find(nId);
    return it != m_mapChecked.end() && it->second;
}

std::string CRecordingView::Text(int nId) const {
    std::lock_guard lock(m_mutex);
    auto it = m_mapText.find(nId);
    return it == m_mapText.end() ? std::string() : it->second;
}

void CRecordingView::ClearLog() {
    std::lock_guard lock(m_mutex);
    m_vecBoxes.clear();
    m_vecCalls.clear();
    m_vecProgress.clear();
    m_vecWaitCursor.clear();
    m_nKeepAlive = 0;
    m_nPickFolder = 0;
}
