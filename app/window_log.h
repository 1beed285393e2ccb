// The windows' two logs for tests outside the process, each written only while the environment
// names its file. One JSON object per line, UTF-8:
//   ZAV_MESSAGE_LOG  every message box and confirmation, as it opens:
//                    {"kind": "message" | "confirm", "text": "..."}
//   ZAV_CONTROL_MAP  every control of a window once the window is shown and placed, in screen
//                    pixels, so that a test can click a control by its id:
//                    {"window": "login" | "main", "id": N, "x": X, "y": Y, "w": W, "h": H}
// Both front ends write them through these functions, so the lines are the same whatever the
// window.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "app/view.h"

inline constexpr const char* kMessageLogVariable = "ZAV_MESSAGE_LOG";
inline constexpr const char* kControlMapVariable = "ZAV_CONTROL_MAP";

// The window names of the control map.
inline constexpr const char* kLoginWindowName = "login";
inline constexpr const char* kMainWindowName = "main";

// A control's rectangle on the screen.
struct SControlRect {
    int nId = 0;
    int nX = 0;
    int nY = 0;
    int nWidth = 0;
    int nHeight = 0;
};

// A JSON string literal of UTF-8 text, quotes included; bytes that are not UTF-8 become U+FFFD.
std::string JsonString(std::string_view strText);

// One line of each log, without the newline.
std::string MessageLogLine(EBoxKind eKind, std::string_view strText);
std::string ControlMapLine(std::string_view strWindow, const SControlRect& control);

// Append to the file the environment names (nothing when it names none). The logs are test
// aids: a file that cannot be written is passed over and the window goes on.
void AppendMessageLog(EBoxKind eKind, std::string_view strText);
void AppendControlMap(std::string_view strWindow, const std::vector<SControlRect>& vecControls);
