// Texts that more than one command shows, exactly as the member sees them.
#pragma once

inline constexpr const char* kMsgBusy = "진행중입니다. 잠시만 기다려주십시오.";
inline constexpr const char* kMsgNoGameFolder =
    "World of Warcraft 설치 경로가 지정되지 않았습니다.";
// Restore and initialize refuse while a game client of the game folder runs: it rewrites WTF
// when the member logs out, over what they would put there.
inline constexpr const char* kMsgGameRunning =
    "World of Warcraft가 실행 중입니다.\n\n게임을 종료한 후 다시 시도하십시오.";
// A game folder whose working paths would not fit the path buffers.
inline constexpr const char* kMsgGameFolderTooLong =
    "World of Warcraft 설치 경로가 너무 깁니다.\n\n더 짧은 경로의 폴더를 지정하시기 바랍니다.";
inline constexpr const char* kMsgSystemFailure =
    "일시적인 시스템 장애입니다.\n\n잠시후에 다시 시도해 보시기 바랍니다.";
// Whatever changes a game folder holds its lock: a second window on the same folder waits.
inline constexpr const char* kMsgFolderInUse =
    "다른 ZAV 창이 같은 World of Warcraft 폴더에서 작업하고 있습니다.\n\n그 창의 작업이 끝난 후 "
    "다시 시도하십시오.";
inline constexpr const char* kMsgFolderLockFailed =
    "World of Warcraft 폴더의 Ralum 폴더에 작업 파일을 만들 수 없습니다.\n\n해당 디렉토리에 쓰기 "
    "권한이 있는지 확인하시기 바랍니다.";
// Added to a failure's message when a write failed, or would fail, for want of room.
inline constexpr const char* kMsgDiskFull = "디스크 공간이 부족합니다.";
