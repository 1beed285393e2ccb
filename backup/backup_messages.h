// The backup layer's texts (the backup command, packing, the upload), shown exactly as they
// stand.
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

// The archive guards of the packing.
inline constexpr const char* kMsgCreateArchiveFailed =
    "압축 파일을 생성할 수 없습니다./n/n해당 디렉토리에 쓰기 권한이 있는지 확인하시기 바랍니다.";
inline constexpr const char* kMsgAddFileFailed = "압축 파일을 추가 할 수 없습니다.";
inline constexpr const char* kMsgCloseArchiveFailed = "압축 파일을 종료하지 못하였습니다.";

// The upload worker: done, and failed with its code (%d).
inline constexpr const char* kMsgUploadDone = "업로드가 완료되었습니다.";
inline constexpr const char* kFmtUploadFailed = "파일을 전송하지 못하였습니다.\n\nERRCODE=[%d]";

// Over the upload limit: the total in M (one decimal) and the limit in whole M.
inline constexpr const char* kFmtOverLimit =
    "※ 선택 파일크기가 [ %.1fM] 로 최대 (%dM) 까지만 가능합니다.";
// "※ 선택 파일크기가 [ %.1fM] 로 최대 (%dM) 까지만 가능합니다." with the total in M (one
// decimal) and the limit in whole M.
std::string OverLimitMessage(uint64_t nTotal, int32_t nLimit);
