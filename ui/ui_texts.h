// The Qt window's own texts, exactly as the member sees them (the core's are in
// app/app_messages.h).
#pragma once

// The game folder's mode radios.
inline constexpr const char* kLabelModeAuto = "자동";
inline constexpr const char* kLabelModeManual = "수동";
// The message boxes' buttons, as a Korean system captions them (Y and N stay their keys).
inline constexpr const char* kButtonYes = "예(&Y)";
inline constexpr const char* kButtonNo = "아니요(&N)";
inline constexpr const char* kButtonOk = "확인";
