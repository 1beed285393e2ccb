// Carries calls from worker threads over to the thread that owns a window: only that thread
// touches the window. Call waits for the result: SendMessage, which the UI thread serves from
// its message loop or any modal loop it is in (message boxes included). Values that a worker
// need not wait for (the progress band's width) go by PostMessage with the value itself.
#pragma once

#include <windows.h>

#include <functional>
#include <mutex>
#include <type_traits>

// The private messages of the windows.
inline constexpr UINT WM_ZAV_CALL = WM_APP + 0x100;         // lParam: std::function<void()>*
inline constexpr UINT WM_ZAV_PROGRESS = WM_APP + 0x101;     // wParam: the band's width
inline constexpr UINT WM_ZAV_CONTROL_MAP = WM_APP + 0x102;  // the window is shown and placed
inline constexpr UINT WM_ZAV_PAGE = WM_APP + 0x103;         // the web view's page has arrived

class CUiCaller {
public:
    // On the UI thread, once the window exists.
    void Attach(HWND hWnd);
    // When the window goes: later calls run nowhere (a Call returns its type's default).
    void Detach();

    bool OnUiThread() const { return GetCurrentThreadId() == m_dwThread; }

    // Runs fn on the UI thread and waits for it (directly when already there).
    template <class F>
    auto Call(F&& fn) -> decltype(fn()) {
        using R = decltype(fn());
        if (OnUiThread())
            return fn();
        if constexpr (std::is_void_v<R>) {
            std::function<void()> call = [&] { fn(); };
            Send(call);
        } else {
            R result{};
            std::function<void()> call = [&] { result = fn(); };
            Send(call);
            return result;
        }
    }

    // Posts a message carrying a plain value to the window, if it is still there.
    void Post(UINT uMsg, WPARAM wParam);

    // The window procedure's part: true when the message was a carried call (it has run).
    static bool Handle(UINT uMsg, LPARAM lParam);

private:
    void Send(std::function<void()>& call);

    std::mutex m_mutex;
    HWND m_hWnd = nullptr;  // guarded by m_mutex
    DWORD m_dwThread = 0;
};
