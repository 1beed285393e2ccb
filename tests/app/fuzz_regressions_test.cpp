// Inputs that the fuzz targets of the application core turned up, kept so that the faults stay
// fixed.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/auth_reply.h"
#include "app/main_logic.h"
#include "app/server_config.h"
#include "app/settings.h"
#include "app/split_text.h"
#include "support/file_io.h"
#include "support/recording_view.h"

namespace {

std::string ReadData(const char* szName) {
    std::string strData =
        ReadWholeFile(std::string(ZAV_SOURCE_DIR "/tests/app/fuzz_data/") + szName);
    EXPECT_FALSE(strData.empty()) << szName;
    return strData;
}

// A configuration body of many lines was read line by line from its start, so that a body near
// the splitter's limit took hours: the start-up of the program hung on it. Read in one pass,
// the lines after the many empty ones still apply.
TEST(ServerConfigFuzzRegression, LongBodyOfManyLinesIsReadInOnePass) {
    std::string strBody;
    for (int i = 0; i < 199990; ++i)
        strBody += "X<br>";
    strBody += "MAX_UPLOAD_LIMIT=7<br><br>POINT_FOR_WDB=3<br>CRRT_VERSION=";
    strBody += kClientVersion;
    ASSERT_LE(strBody.size(), kSplitTextMaxLength);

    CSettings settings;
    CRecordingView view;
    EXPECT_EQ(ApplyServerConfig(settings, strBody, view), EConfigLoad::Loaded);
    EXPECT_EQ(settings.m_nMaxUploadLimit, 7000000);
    EXPECT_EQ(settings.m_nPointForWdb, 3);
    EXPECT_TRUE(view.Boxes().empty());
}

// The last-upload date was converted to UTF-8 first and then cut to its field width in bytes,
// which split a Hangul year in two and put broken text on the window. The width counts the
// server's CP949 bytes, as blanks in front of a short field still show.
TEST(AccountStatusFuzzRegression, DateFieldsAreCutBeforeConversion) {
    CSettings settings;
    CRecordingView view;
    CMainLogic logic(view, settings);
    logic.ApplyAccountStatus(ParseAuthReply(ReadData("account_status_hangul_year")));
    EXPECT_EQ(logic.LastUpload(), "가나년 7월 6일 15:16");

    logic.ApplyAccountStatus(ParseAuthReply(std::string("+OK<br>LASTUPLOAD=201")));
    EXPECT_EQ(logic.LastUpload(), " 201년 0월 0일   :  ");
    EXPECT_TRUE(view.Boxes().empty());
}

// A refusal whose text ends at once (here at a NUL byte right after the status line) showed an
// empty message box; it now says that the query failed, as the login and remove-all do.
TEST(AccountStatusFuzzRegression, RefusalWithoutTextSaysTheQueryFailed) {
    CSettings settings;
    CRecordingView view;
    CMainLogic logic(view, settings);
    const SAuthReply reply = ParseAuthReply(ReadData("account_status_empty_refusal"));
    ASSERT_EQ(reply.eStatus, SAuthReply::Refused);
    logic.ApplyAccountStatus(reply);
    EXPECT_EQ(view.Texts(),
              std::vector<std::string>{
                  "일시적인 시스템 장애입니다.\n\n잠시후에 다시 시도해 보시기 바랍니다."});
}

}  // namespace
