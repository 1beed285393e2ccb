#include "ui/win32/dialog_template.h"

#include <algorithm>
#include <cstring>

namespace {

// Reads the template's little-endian fields within its bytes; a read past them fails for good.
class CTemplateReader {
public:
    CTemplateReader(const BYTE* pData, size_t nSize) : m_pData(pData), m_nSize(nSize) {}

    bool Ok() const { return m_bOk; }

    template <class T>
    T Read() {
        T value{};
        if (!m_bOk || m_nSize - m_nPos < sizeof(T)) {
            m_bOk = false;
            return value;
        }
        std::memcpy(&value, m_pData + m_nPos, sizeof(T));
        m_nPos += sizeof(T);
        return value;
    }

    std::wstring ReadString() {
        std::wstring str;
        for (WORD c = Read<WORD>(); m_bOk && c != 0; c = Read<WORD>())
            str += static_cast<wchar_t>(c);
        return str;
    }

    // A name or an ordinal: the ordinal's text is "#N", the predefined classes are named.
    std::wstring ReadNameOrOrdinal(bool bClass) {
        const WORD nFirst = Read<WORD>();
        if (nFirst == 0)
            return {};
        if (nFirst == 0xFFFF) {
            const WORD nOrdinal = Read<WORD>();
            if (bClass) {
                static const wchar_t* const kClasses[] = {L"Button",  L"Edit",      L"Static",
                                                          L"ListBox", L"ScrollBar", L"ComboBox"};
                if (nOrdinal >= 0x80 && nOrdinal <= 0x85)
                    return kClasses[nOrdinal - 0x80];
            }
            return L"#" + std::to_wstring(nOrdinal);
        }
        std::wstring str(1, static_cast<wchar_t>(nFirst));
        return str + ReadString();
    }

    void Skip(size_t nBytes) {
        if (m_nSize - m_nPos < nBytes)
            m_bOk = false;
        else
            m_nPos += nBytes;
    }

    void AlignToDword() { Skip((4 - m_nPos % 4) % 4); }

private:
    const BYTE* m_pData;
    size_t m_nSize;
    size_t m_nPos = 0;
    bool m_bOk = true;
};

int Round(int nValue, int nMul, int nDiv) {
    return (nValue * nMul + nDiv / 2) / nDiv;
}

}  // namespace

const SDialogItem* SDialogTemplate::Item(int nId) const {
    for (const SDialogItem& item : vecItems)
        if (item.nId == nId)
            return &item;
    return nullptr;
}

std::optional<SDialogTemplate> LoadDialogTemplate(HMODULE hModule, int nId) {
    HRSRC hInfo = FindResourceW(hModule, MAKEINTRESOURCEW(nId), MAKEINTRESOURCEW(5));  // RT_DIALOG
    HGLOBAL hData = hInfo != nullptr ? LoadResource(hModule, hInfo) : nullptr;
    const void* pData = hData != nullptr ? LockResource(hData) : nullptr;
    if (pData == nullptr)
        return std::nullopt;
    CTemplateReader reader(static_cast<const BYTE*>(pData), SizeofResource(hModule, hInfo));

    SDialogTemplate dialog;
    const WORD nVersion = reader.Read<WORD>();
    const WORD nSignature = reader.Read<WORD>();
    if (nVersion != 1 || nSignature != 0xFFFF)
        return std::nullopt;  // not a DIALOGEX
    reader.Read<DWORD>();     // help id
    dialog.dwExStyle = reader.Read<DWORD>();
    dialog.dwStyle = reader.Read<DWORD>();
    const WORD nItems = reader.Read<WORD>();
    reader.Read<short>();
    reader.Read<short>();
    dialog.nWidth = reader.Read<short>();
    dialog.nHeight = reader.Read<short>();
    reader.ReadNameOrOrdinal(false);  // menu
    reader.ReadNameOrOrdinal(false);  // class
    dialog.strCaption = reader.ReadString();
    if (dialog.dwStyle & (DS_SETFONT | DS_SHELLFONT)) {
        dialog.nPointSize = reader.Read<WORD>();
        reader.Read<WORD>();  // weight
        reader.Read<BYTE>();  // italic
        dialog.nCharSet = reader.Read<BYTE>();
        dialog.strFace = reader.ReadString();
    }
    for (WORD i = 0; i < nItems && reader.Ok(); ++i) {
        reader.AlignToDword();
        SDialogItem item;
        reader.Read<DWORD>();  // help id
        item.dwExStyle = reader.Read<DWORD>();
        item.dwStyle = reader.Read<DWORD>();
        item.nX = reader.Read<short>();
        item.nY = reader.Read<short>();
        item.nWidth = reader.Read<short>();
        item.nHeight = reader.Read<short>();
        item.nId = static_cast<int>(reader.Read<DWORD>());
        item.strClass = reader.ReadNameOrOrdinal(true);
        item.strText = reader.ReadNameOrOrdinal(false);
        reader.Skip(reader.Read<WORD>());  // creation data
        dialog.vecItems.push_back(std::move(item));
    }
    if (!reader.Ok())
        return std::nullopt;
    return dialog;
}

RECT DluToPixels(int x, int y, int cx, int cy) {
    return {Round(x, 7, 4), Round(y, 12, 8), Round(x + cx, 7, 4), Round(y + cy, 12, 8)};
}

void PlaceControls(HWND hDlg, const SDialogTemplate& dialog, SIZE sizeClient) {
    for (const SDialogItem& item : dialog.vecItems) {
        HWND hControl = GetDlgItem(hDlg, item.nId);
        if (hControl == nullptr)
            continue;
        RECT rect = DluToPixels(item.nX, item.nY, item.nWidth, item.nHeight);
        SetWindowPos(hControl, nullptr, rect.left, rect.top, rect.right - rect.left,
                     rect.bottom - rect.top, SWP_NOZORDER | SWP_NOACTIVATE);
    }
    RECT rectWindow;
    GetWindowRect(hDlg, &rectWindow);
    RECT rectFrame = {0, 0, sizeClient.cx, sizeClient.cy};
    AdjustWindowRectEx(&rectFrame, static_cast<DWORD>(GetWindowLongPtrW(hDlg, GWL_STYLE)), FALSE,
                       static_cast<DWORD>(GetWindowLongPtrW(hDlg, GWL_EXSTYLE)));
    const int nWidth = rectFrame.right - rectFrame.left;
    const int nHeight = rectFrame.bottom - rectFrame.top;
    // The centre stays; the title bar stays on the screen.
    const int nLeft = (rectWindow.left + rectWindow.right - nWidth) / 2;
    const int nTop =
        std::max(0, static_cast<int>(rectWindow.top + rectWindow.bottom - nHeight) / 2);
    SetWindowPos(hDlg, nullptr, nLeft, nTop, nWidth, nHeight, SWP_NOZORDER | SWP_NOACTIVATE);
}
