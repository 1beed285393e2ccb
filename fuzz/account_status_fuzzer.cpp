// The account status display fed with a reply of the account script (mode du): the sizes, the
// total and the last-upload text the main window shows, and the messages of a refusal.
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>

#include "app/auth_reply.h"
#include "app/main_logic.h"
#include "app/settings.h"
#include "app/view.h"
#include "platform/codepage.h"

namespace {

// Every text the window would show must be UTF-8; nothing else of the window is used.
class CCheckingView : public IMainView {
public:
    void Message(const std::string& strText) override {
        if (!IsValidUtf8(strText) || strText.empty())
            abort();
        ++m_nMessages;
    }
    bool Confirm(const std::string&) override { abort(); }
    bool IsChecked(int) override { abort(); }
    void SetChecked(int, bool) override { abort(); }
    std::string GetText(int) override { abort(); }
    void SetText(int, const std::string&) override { abort(); }
    void SetProgressWidth(int) override { abort(); }
    void SetWaitCursor(bool) override { abort(); }
    void KeepAlive() override { abort(); }
    SFolderPick PickFolder() override { abort(); }
    int m_nMessages = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize) {
    const SAuthReply reply =
        ParseAuthReply(std::string(reinterpret_cast<const char*>(pData), nSize));
    CSettings settings;
    CCheckingView view;
    CMainLogic logic(view, settings);
    logic.ApplyAccountStatus(reply);

    // A refusal or a failure is one message and leaves the values as they were.
    if ((reply.eStatus != SAuthReply::Success) != (view.m_nMessages == 1) || view.m_nMessages > 1)
        abort();
    if (reply.eStatus != SAuthReply::Success &&
        (logic.GetTotalUsage() != 0 || !logic.LastUpload().empty()))
        abort();
    if (!IsValidUtf8(logic.LastUpload()))
        abort();
    // A size is read as atoi reads it: negative only when the reply's text has a minus sign.
    const std::optional<std::string> wtf = reply.Find("WTF");
    if (wtf && wtf->find('-') == std::string::npos && logic.ServerSizes()[ECategory::Wtf] < 0)
        abort();
    return 0;
}
