// The restore layer's texts (the restore, initialize and remove all, settling an interrupted
// apply), exactly as the member sees them.
#pragma once

#include "app/app_messages.h"

// The restore button.
inline constexpr const char* kMsgSelectTarget = "다운로드하실 대상을 선택하세요.";
inline constexpr const char* kAskRestore = "회원님의 설정파일들을 다운로드하고 적용하시겠습니까?";
inline constexpr const char* kMsgNoThread =
    "다운로드 쓰레드를 생성하지 못하였습니다.\n\n지속적으로 발생시 담당자에게 문의하시기 "
    "바랍니다.";

// The download worker.
inline constexpr const char* kMsgNothingToDownload = "다운로드할 파일이 없습니다.";
inline constexpr const char* kMsgDownloadFailed =
    "파일을 다운로드하지 못하였습니다.\n\nERRCODE=[%d]";
inline constexpr const char* kMsgApplyFailed =
    "다운로드 파일을 시스템에 적용하지 못하엿습니다.\n\n반복적인 경우 담당자에게 문의하세요.";
inline constexpr const char* kMsgRestoreDone = "다운로드 및 적용이 완료되었습니다.";
// One line of the done message per restored category: its folder, files added, replaced and
// removed.
inline constexpr const char* kFmtCategoryChange = "\n%s 폴더: 파일 %d개 추가, %d개 교체, %d개 삭제";
// Followed by the Recent folder.
inline constexpr const char* kMsgReplacedKeptIn =
    "\n\n교체되기 전의 폴더는 다음 위치에 보관되어 있습니다.\n";

// Told at start when an interrupted apply was finished or put back.
inline constexpr const char* kMsgApplyResumed = "지난번에 중단된 설정 적용을 마무리하였습니다.";
inline constexpr const char* kMsgApplyRolledBack =
    "지난번에 중단된 설정 적용을 취소하고 이전 설정으로 되돌렸습니다.";
inline constexpr const char* kMsgApplyNotRecovered =
    "지난번에 중단된 설정 적용을 마무리하지 못하였습니다.\n\n반복적인 경우 담당자에게 문의하세요.";
// Told at start when the game runs while an interrupted apply waits to be settled.
inline constexpr const char* kMsgRecoveryWaitsForGame =
    "World of Warcraft가 실행 중이어서 지난번에 중단된 설정 적용을 마무리하지 "
    "못하였습니다.\n\n게임을 "
    "종료한 후 ZAV를 다시 실행하십시오.";
// Followed by the folders, one per line: what an apply or its recovery found in its way.
inline constexpr const char* kMsgFoldersKept =
    "설정을 적용하는 동안 게임 폴더에 새로 생긴 폴더는 지우지 않고 다음 위치에 옮겨 두었습니다.";
// Followed by the folders, one per line: replaced folders that could not be removed.
inline constexpr const char* kMsgFoldersLeft =
    "교체되기 전의 다음 폴더를 지우지 못하여 그대로 남겨 두었습니다. 필요 없으시면 직접 "
    "지우셔도 됩니다.";

// Initialize and remove all.
inline constexpr const char* kAskInitialize = "현재 시스템의 설정파일들을 초기화 하시겠습니까?";
inline constexpr const char* kAskRemoveAll =
    "서버에 존재하는 모든 업로드 파일을 삭제합니다.\n\n삭제후 복구되지 않습니다. 정말 "
    "삭제하시겠습니까?";
inline constexpr const char* kMsgRemoved =
    "서버에 업로드 되어 있는 모든 파일이 정상적으로 삭제되었습니다.";
inline constexpr const char* kMsgInitialized = "초기화가 완료되었습니다.";
inline constexpr const char* kMsgKeptIn = "폴더는 다음 위치에 보관되어 있습니다.";
inline constexpr const char* kMsgInitializeFailed = "다음 폴더를 초기화하지 못하였습니다.";
inline constexpr const char* kMsgInitializePartly =
    "다음 폴더는 보관 위치에 모두 복사하였으나 일부 파일을 게임 폴더에서 지우지 못하였습니다.";
inline constexpr const char* kMsgInitializeHint =
    "게임이나 다른 프로그램이 사용 중인지 확인하신 후 다시 시도하시기 바랍니다.";
// Before the folders a done or partial initialize kept ("초기화 전의 Fonts, WTF 폴더는 ...").
inline constexpr const char* kMsgBeforeInitialize = "\n\n초기화 전의 ";
