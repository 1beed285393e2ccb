#include "ui/win32/ui_thread.h"

void CUiCaller::Attach(HWND hWnd) {
    std::lock_guard lock(m_mutex);
    m_hWnd = hWnd;
    m_dwThread = GetCurrentThreadId();
}

void CUiCaller::Detach() {
    std::lock_guard lock(m_mutex);
    m_hWnd = nullptr;
}

void CUiCaller::Send(std::function<void()>& call) {
    HWND hWnd;
    {
        std::lock_guard lock(m_mutex);
        hWnd = m_hWnd;
    }
    // A window that has gone answers nothing: SendMessage fails and the call is not run.
    if (hWnd != nullptr)
        SendMessageW(hWnd, WM_ZAV_CALL, 0, reinterpret_cast<LPARAM>(&call));
}

void CUiCaller::Post(UINT uMsg, WPARAM wParam) {
    std::lock_guard lock(m_mutex);
    if (m_hWnd != nullptr)
        PostMessageW(m_hWnd, uMsg, wParam, 0);
}

bool CUiCaller::Handle(UINT uMsg, LPARAM lParam) {
    if (uMsg != WM_ZAV_CALL)
        return false;
    (*reinterpret_cast<std::function<void()>*>(lParam))();
    return true;
}
