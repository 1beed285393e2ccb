// The windows' test logs: the JSON lines of the message log and the control map, and the files
// the environment names.
#include "app/window_log.h"

#include <gtest/gtest.h>

#include "support/env_guard.h"
#include "support/file_io.h"
#include "support/sandbox.h"

TEST(WindowLog, JsonStringEscapesWhatJsonMustAndKeepsKorean) {
    struct SCase {
        std::string strText;
        std::string strJson;
    };
    const SCase cases[] = {
        {"", "\"\""},
        {"일시적인 \"장애\"\n\\끝", "\"일시적인 \\\"장애\\\"\\n\\\\끝\""},
        {"a\tb\rc\x01", "\"a\\tb\\rc\\u0001\""},
        {"<br>/", "\"<br>/\""},
        // Bytes that are not UTF-8 (a CP949 text, a cut sequence) become U+FFFD, one each.
        {"\xB0\xA1", "\"\xEF\xBF\xBD\xEF\xBF\xBD\""},
        {"\xED\x95", "\"\xEF\xBF\xBD\xEF\xBF\xBD\""},
        {"a\xF0\x9F\x98\x80", "\"a\xF0\x9F\x98\x80\""},
    };
    for (const SCase& c : cases)
        EXPECT_EQ(JsonString(c.strText), c.strJson) << c.strText;
}

TEST(WindowLog, LinesHaveTheirFixedForm) {
    EXPECT_EQ(MessageLogLine(EBoxKind::Message, "업로드가 완료되었습니다."),
              "{\"kind\": \"message\", \"text\": \"업로드가 완료되었습니다.\"}");
    EXPECT_EQ(MessageLogLine(EBoxKind::ConfirmDefaultNo, "계속?"),
              "{\"kind\": \"confirm\", \"text\": \"계속?\"}");
    EXPECT_EQ(ControlMapLine(kMainWindowName, {1002, 24, -3, 142, 55}),
              "{\"window\": \"main\", \"id\": 1002, \"x\": 24, \"y\": -3, \"w\": 142, \"h\": 55}");
}

TEST(WindowLog, AppendsToTheFileTheEnvironmentNamesAndOnlyThen) {
    CSandbox sandbox("zav-window-log");
    const std::string strMap = sandbox.Path("맵/controls.jsonl");
    WriteWholeFile(strMap, "earlier\n");
    {
        CEnvGuard env;
        env.Unset(kControlMapVariable).Unset(kMessageLogVariable);
        AppendControlMap(kLoginWindowName, {{1000, 1, 2, 3, 4}});
        AppendMessageLog(EBoxKind::Message, "x");
    }
    EXPECT_EQ(ReadWholeFile(strMap), "earlier\n");

    CEnvGuard env(kControlMapVariable, strMap);
    AppendControlMap(kLoginWindowName, {{1000, 1, 2, 3, 4}, {1002, 5, 6, 7, 8}});
    AppendControlMap(kMainWindowName, {});
    EXPECT_EQ(ReadWholeFile(strMap),
              "earlier\n"
              "{\"window\": \"login\", \"id\": 1000, \"x\": 1, \"y\": 2, \"w\": 3, \"h\": 4}\n"
              "{\"window\": \"login\", \"id\": 1002, \"x\": 5, \"y\": 6, \"w\": 7, \"h\": 8}\n");

    // A file that cannot be made is passed over.
    env.Set(kMessageLogVariable, sandbox.Path("no such folder/messages.jsonl"));
    AppendMessageLog(EBoxKind::Confirm, "x");
}
