// The application core's texts, and those more than one layer shows, exactly as the member
// sees them.
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
// A text the transfers show when an archive's size cannot be read (backup and restore).
inline constexpr const char* kMsgSizeUnknown = "송수신 패킷의 크기를 계산할 수 없습니다.";

// Start-up.
inline constexpr const char* kMsgSocketsFailed = "Windows 소켓 초기화에 실패하였습니다.";
inline constexpr const char* kMsgConfigNotLoaded =
    "환경 정보를 로드 하지 못하였습니다.\n\n반복적으로 실패할 경우 담당자에게 문의하시기 "
    "바랍니다.";
// A version the server does not take; %s is the server's version.
inline constexpr const char* kFmtVersionStop =
    "라룸보관소 VER %s 으로 다운로드하여 사용하시기 바랍니다.";

// The login window.
inline constexpr const char* kMsgEnterId = "아이디를 입력하십시오.";
inline constexpr const char* kMsgEnterPw = "패스워드를 입력하십시오.";

// The game folder: not found when the window opens, not found when the automatic mode is
// chosen, and a picked folder that cannot be stored.
inline constexpr const char* kMsgGameFolderNotFound =
    "World of Warcraft 설치 경로를 찾을 수 없습니다.\n\n와우 디렉토리를 수동으로 "
    "경로지정 하시기 바랍니다.";
inline constexpr const char* kMsgGameFolderNotFoundForAuto =
    "World of Warcraft 설치 경로를 찾을 수 없습니다.\n\n와우 디렉토리를 수동으로 "
    "선택하시기 바랍니다.";
inline constexpr const char* kMsgPathNotSaved = "선택하신 경로를 저장하지 못하였습니다.";
// The folder picker's title, in both windows.
inline constexpr const char* kTitlePickFolder = "대상 폴더 선택";

// The check boxes' groups.
inline constexpr const char* kLabelAddon = "애드온(Addon)";
inline constexpr const char* kLabelCache = "캐쉬(Cache)";
inline constexpr const char* kLabelFont = "폰트(Font)";

// The account status: no upload yet, the last upload's date ("2010년 7월 6일 15:16") and the
// total use.
inline constexpr const char* kMsgNoUpload = "업로드 하신 내용이 없습니다.";
inline constexpr const char* kFmtLastUpload = "%s년 %d월 %d일 %s:%s";
inline constexpr const char* kFmtTotalUsage = "총사용량:%.1fM/%dM";

// The question before a backup of damaged SavedVariables files: the head, one line per file
// (up to five) with what is wrong, the count of the others, the question.
inline constexpr const char* kMsgDamagedHead = "다음 설정 파일이 손상되었을 수 있습니다.\n\n";
inline constexpr const char* kMsgDamagedEmpty = " (빈 파일)\n";
inline constexpr const char* kMsgDamagedZeroed = " (내용 일부가 지워짐)\n";
inline constexpr const char* kMsgDamagedUnbalanced = " (괄호가 맞지 않음)\n";
inline constexpr const char* kMsgDamagedCut = " (내용이 중간에 끊김)\n";
inline constexpr const char* kMsgDamagedMoreBefore = "외 ";
inline constexpr const char* kMsgDamagedMoreAfter = "개 파일\n";
inline constexpr const char* kAskDamagedBackup =
    "\n이대로 백업하면 서버에 저장된 설정이 손상된 파일로 바뀝니다.\n그래도 "
    "백업하시겠습니까?";
