#include "app/window_log.h"

#include <cstdio>
#include <fstream>
#include <optional>

#include "platform/codepage.h"
#include "platform/native_text.h"

namespace {

// Appends strLines to the file named by the variable, in one write.
void AppendLines(const char* szVariable, const std::string& strLines) {
    std::optional<std::string> path = GetEnvironmentUtf8(szVariable);
    if (!path || path->empty())
        return;
    std::ofstream file(PathFromUtf8(*path), std::ios::binary | std::ios::app);
    file.write(strLines.data(), static_cast<std::streamsize>(strLines.size()));
}

// The length of the well-formed UTF-8 sequence at the start of text, 0 when there is none.
std::size_t Utf8SequenceLength(std::string_view text) {
    const auto c = static_cast<unsigned char>(text[0]);
    std::size_t nLength = c < 0x80 ? 1 : c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 0;
    if (nLength == 0 || nLength > text.size())
        return 0;
    return IsValidUtf8(text.substr(0, nLength)) ? nLength : 0;
}

}  // namespace

std::string JsonString(std::string_view strText) {
    std::string strJson = "\"";
    while (!strText.empty()) {
        const auto c = static_cast<unsigned char>(strText[0]);
        if (c >= 0x80) {
            std::size_t nLength = Utf8SequenceLength(strText);
            strJson += nLength == 0 ? std::string_view("\xEF\xBF\xBD") : strText.substr(0, nLength);
            strText.remove_prefix(nLength == 0 ? 1 : nLength);
            continue;
        }
        switch (c) {
            case '"':
                strJson += "\\\"";
                break;
            case '\\':
                strJson += "\\\\";
                break;
            case '\n':
                strJson += "\\n";
                break;
            case '\r':
                strJson += "\\r";
                break;
            case '\t':
                strJson += "\\t";
                break;
            default:
                if (c < 0x20) {
                    char szEscape[8];
                    std::snprintf(szEscape, sizeof(szEscape), "\\u%04x", c);
                    strJson += szEscape;
                } else {
                    strJson += static_cast<char>(c);
                }
        }
        strText.remove_prefix(1);
    }
    strJson += '"';
    return strJson;
}

std::string MessageLogLine(EBoxKind eKind, std::string_view strText) {
    return std::string("{\"kind\": \"") + (eKind == EBoxKind::Message ? "message" : "confirm") +
           "\", \"text\": " + JsonString(strText) + "}";
}

std::string ControlMapLine(std::string_view strWindow, const SControlRect& control) {
    return "{\"window\": " + JsonString(strWindow) + ", \"id\": " + std::to_string(control.nId) +
           ", \"x\": " + std::to_string(control.nX) + ", \"y\": " + std::to_string(control.nY) +
           ", \"w\": " + std::to_string(control.nWidth) +
           ", \"h\": " + std::to_string(control.nHeight) + "}";
}

void AppendMessageLog(EBoxKind eKind, std::string_view strText) {
    AppendLines(kMessageLogVariable, MessageLogLine(eKind, strText) + "\n");
}

void AppendControlMap(std::string_view strWindow, const std::vector<SControlRect>& vecControls) {
    std::string strLines;
    for (const SControlRect& control : vecControls)
        strLines += ControlMapLine(strWindow, control) + "\n";
    if (!strLines.empty())
        AppendLines(kControlMapVariable, strLines);
}
