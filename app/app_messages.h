// Texts that more than one command shows, exactly as the member sees them.
#pragma once

inline constexpr const char* kMsgBusy = "진행중입니다. 잠시만 기다려주십시오.";
inline constexpr const char* kMsgNoGameFolder =
    "World of Warcraft 설치 경로가 지정되지 않았습니다.";
// A game folder whose working paths would not fit the path buffers.
inline constexpr const char* kMsgGameFolderTooLong =
    "World of Warcraft 설치 경로가 너무 깁니다.\n\n더 짧은 경로의 폴더를 지정하시기 바랍니다.";
inline constexpr const char* kMsgSystemFailure =
    "일시적인 시스템 장애입니다.\n\n잠시후에 다시 시도해 보시기 바랍니다.";
