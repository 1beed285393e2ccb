#include "ui/win32/fonts.h"

namespace {

int CALLBACK OnFontFound(const LOGFONTW*, const TEXTMETRICW*, DWORD, LPARAM lParam) {
    *reinterpret_cast<bool*>(lParam) = true;
    return 0;  // one is enough
}

bool IsInstalled(const wchar_t* szFace) {
    LOGFONTW font{};
    font.lfCharSet = DEFAULT_CHARSET;
    lstrcpynW(font.lfFaceName, szFace, LF_FACESIZE);
    bool bFound = false;
    HDC hdc = GetDC(nullptr);
    EnumFontFamiliesExW(hdc, &font, &OnFontFound, reinterpret_cast<LPARAM>(&bFound), 0);
    ReleaseDC(nullptr, hdc);
    return bFound;
}

}  // namespace

const std::wstring& DialogFaceName() {
    static const std::wstring s_strFace = [] {
        static const wchar_t* const kFaces[] = {L"굴림",        L"Gulim",     L"돋움",
                                                L"Dotum",       L"맑은 고딕", L"Malgun Gothic",
                                                L"NanumGothic", L"나눔고딕"};
        for (const wchar_t* szFace : kFaces)
            if (IsInstalled(szFace))
                return std::wstring(szFace);
        return std::wstring(kFaces[0]);  // the system's font mapper chooses
    }();
    return s_strFace;
}

bool IsStandInFace() {
    return DialogFaceName() != L"굴림";
}

HFONT CreateDialogFont(int nHeight, int nWeight, BYTE nCharSet) {
    if (IsStandInFace() && nHeight > 0)
        nHeight = -nHeight;
    return CreateFontW(nHeight, 0, 0, 0, nWeight, FALSE, FALSE, FALSE,
                       IsStandInFace() ? BYTE{DEFAULT_CHARSET} : nCharSet, OUT_DEFAULT_PRECIS,
                       CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, DEFAULT_PITCH,
                       DialogFaceName().c_str());
}
