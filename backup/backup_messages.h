// The backup command's own texts, shown exactly as they stand.
#pragma once

#include <cstdint>
#include <string>

#include "app/app_messages.h"

inline constexpr const char* kMsgNothingChosen = "업로드하실 대상을 선택하세요.";
inline constexpr const char* kMsgConfirmBackup = "회원님의 설정파일들을 서버에 백업하시겠습니까?";
// Asked (default No) when a game client of the game folder runs.
inline constexpr const char* kAskBackupWhileRunning =
    "World of Warcraft가 실행 중입니다.\n\n게임이 실행 중일 때 백업하면 저장 중인 설정 파일이 "
    "불완전하게 백업될 수 있습니다.\n그래도 백업하시겠습니까?";
inline constexpr const char* kMsgServerBusy =
    "죄송합니다. 업로드 이용자가 많아 지금은 업로드를 할 수 없습니다.\n\n담당자에게 문의하시기 "
    "바랍니다.";
inline constexpr const char* kMsgPackFailed =
    "업로드할 파일을 생성하지 못하였습니다.\n\n반복적으로 지속될 경우 담당자에게 문의하시기 "
    "바랍니다.";
inline constexpr const char* kMsgNothingToUpload = "업로드할 파일이 없습니다.";
inline constexpr const char* kMsgSizeUnreadable =
    "업로드 파일 크기를 계산할 수 없습니다.\n\n반복적인 에러인 경우 담당자에게 문의하시기 "
    "바랍니다.";
inline constexpr const char* kMsgWorkerFailed =
    "업로드 쓰레드를 생성하지 못하였습니다.\n\n지속적으로 발생시 담당자에게 문의하시기 바랍니다.";

// "※ 선택 파일크기가 [ %.1fM] 로 최대 (%dM) 까지만 가능합니다." with the total in M (one
// decimal) and the limit in whole M.
std::string OverLimitMessage(uint64_t nTotal, int32_t nLimit);
