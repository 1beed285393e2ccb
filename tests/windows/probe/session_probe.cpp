// What a program sees of a session prefix (scripts/wine-session-prefix), for its test:
//     session_probe.exe URL...
// prints, one line each: "acp N" (the ANSI code page), "hangul N" (1 when the dialog face
// Gulim draws Hangul), then for each URL "URL ok STATUS" or "URL failed ERROR" after one GET
// through the program's own HTTP layer, trusting only the system's certificate store.
#include <windows.h>

#include <cstdio>
#include <string>

#include "net/http_request.h"

namespace {

bool GulimDrawsHangul() {
    HDC hDc = CreateCompatibleDC(nullptr);
    HFONT hFont = CreateFontW(-12, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, HANGUL_CHARSET,
                              OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                              DEFAULT_PITCH, L"Gulim");
    HGDIOBJ hOld = SelectObject(hDc, hFont);
    WORD awGlyphs[2] = {0xFFFF, 0xFFFF};
    const DWORD nDone =
        GetGlyphIndicesW(hDc, L"\uD55C\uAE00", 2, awGlyphs, GGI_MARK_NONEXISTING_GLYPHS);
    SelectObject(hDc, hOld);
    DeleteObject(hFont);
    DeleteDC(hDc);
    return nDone == 2 && awGlyphs[0] != 0xFFFF && awGlyphs[1] != 0xFFFF;
}

}  // namespace

int main(int argc, char** argv) {
    std::printf("acp %u\n", GetACP());
    std::printf("hangul %d\n", GulimDrawsHangul() ? 1 : 0);
    if (!HttpGlobalInit()) {
        std::printf("http layer failed\n");
        return 1;
    }
    for (int i = 1; i < argc; ++i) {
        const SHttpResult result = HttpExchange(argv[i], kHttpGet, nullptr);
        if (result.bTransportOk)
            std::printf("%s ok %ld\n", argv[i], result.nStatus);
        else
            std::printf("%s failed %s\n", argv[i], result.strError.c_str());
    }
    return 0;
}
