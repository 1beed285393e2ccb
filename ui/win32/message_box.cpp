#include "ui/win32/message_box.h"

#include "app/window_log.h"
#include "platform/native_text.h"

bool ShowMessageBox(HWND hOwner, EBoxKind eKind, const std::string& strText) {
    AppendMessageLog(eKind, strText);
    UINT uType = MB_ICONEXCLAMATION | (eKind == EBoxKind::Message ? MB_OK : MB_YESNO);
    if (eKind == EBoxKind::ConfirmDefaultNo)
        uType |= MB_DEFBUTTON2;
    // Without an owner (start-up) the box still comes to the front.
    if (hOwner == nullptr)
        uType |= MB_SETFOREGROUND;
    const int nResult = MessageBoxW(hOwner, WideFromUtf8(strText).c_str(), L"ZAV", uType);
    return eKind == EBoxKind::Message || nResult == IDYES;
}
