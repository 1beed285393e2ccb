// Inputs that the fuzz targets of the application core turned up, kept so that the faults stay
// fixed.
#include <gtest/gtest.h>

#include <string>

#include "app/server_config.h"
#include "app/settings.h"
#include "app/split_text.h"
#include "support/recording_view.h"

namespace {

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
    EXPECT_EQ(ApplyServerConfig(settings, strBody, view), 1);
    EXPECT_EQ(settings.m_nMaxUploadLimit, 7000000);
    EXPECT_EQ(settings.m_nPointForWdb, 3);
    EXPECT_TRUE(view.Boxes().empty());
}

}  // namespace
