// The login: input limits, the request body, the fixed reply layout, and the whole handler
// against a live zav-service.
#include "app/login_logic.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include "platform/diag_log.h"
#include "support/env_guard.h"
#include "support/file_io.h"
#include "support/live_service.h"
#include "support/recording_view.h"
#include "support/sandbox.h"
#include "support/scripted_server.h"
#include "support/scripted_transport.h"

namespace {

const std::string kHead(67, 'h');   // template text before the status word
const std::string kFrame(18, 'f');  // template text around the payload

std::string OkReply(const std::string& strNickname) {
    return kHead + "OK" + kFrame + strNickname + kFrame;
}
std::string ErrReply(const std::string& strText) {
    return kHead + "ERR" + kFrame + strText + kFrame;
}

// The portal's login answered by a scripted transport.
struct SCannedPortal {
    CScriptedTransport m_transport;
};

}  // namespace

TEST(LoginReply, ReadsStatusAndPayloadAtTheirFixedPositions) {
    SLoginReply ok = ParseLoginReply(OkReply("용사"));
    EXPECT_EQ(ok.eStatus, SLoginReply::Success);
    EXPECT_EQ(ok.strPayload, "용사");

    SLoginReply err = ParseLoginReply(ErrReply("비밀번호가 틀렸습니다."));
    EXPECT_EQ(err.eStatus, SLoginReply::Refused);
    EXPECT_EQ(err.strPayload, "비밀번호가 틀렸습니다.");

    // L = 105: an empty nickname is still a success.
    SLoginReply empty = ParseLoginReply(OkReply(""));
    ASSERT_EQ(OkReply("").size(), 105u);
    EXPECT_EQ(empty.eStatus, SLoginReply::Success);
    EXPECT_EQ(empty.strPayload, "");
}

TEST(LoginReply, TooShortOrOversizedRepliesAreFailures) {
    EXPECT_EQ(ParseLoginReply(std::nullopt).eStatus, SLoginReply::Failure);
    EXPECT_EQ(ParseLoginReply(std::string()).eStatus, SLoginReply::Failure);
    EXPECT_EQ(ParseLoginReply(kHead + "O").eStatus, SLoginReply::Failure);
    std::string strShortOk = OkReply("");
    strShortOk.pop_back();  // 104 bytes
    EXPECT_EQ(ParseLoginReply(strShortOk).eStatus, SLoginReply::Failure);
    EXPECT_EQ(ParseLoginReply(ErrReply("").substr(0, 105)).eStatus, SLoginReply::Failure);
    EXPECT_EQ(ParseLoginReply(OkReply(std::string(200, 'n'))).eStatus, SLoginReply::Success);
    EXPECT_EQ(ParseLoginReply(OkReply(std::string(201, 'n'))).eStatus, SLoginReply::Failure);
    EXPECT_EQ(ParseLoginReply(kHead + "ok" + kFrame + "x" + kFrame).eStatus, SLoginReply::Failure);
}

TEST(LoginReply, NicknameThatIsNotUtf8IsEmpty) {
    SLoginReply reply = ParseLoginReply(OkReply("\xC7\xD1\xB1\xDB"));  // CP949, not UTF-8
    EXPECT_EQ(reply.eStatus, SLoginReply::Success);
    EXPECT_EQ(reply.strPayload, "");
}

TEST(LoginBody, InsertsIdAndPasswordUnescapedInCp949) {
    EXPECT_EQ(MakeLoginBody("a&b=c", "p w"),
              "code=3c9a1f07d2b84e65a0c7f19e2d3b5a8c4e6f0a1b2c3d4e5f&id=a&b=c&pw=p w");
    EXPECT_EQ(MakeLoginBody("한", "x"),
              "code=3c9a1f07d2b84e65a0c7f19e2d3b5a8c4e6f0a1b2c3d4e5f&id=\xC7\xD1&pw=x");
    EXPECT_EQ(std::string("code=").size() + kLoginCode.size() + 8, 61u);
}

TEST(LoginBody, RefusesInputTheBuffersCannotCarry) {
    // The id: at most 38 CP949 bytes (the account query's body). Korean syllables take two.
    EXPECT_TRUE(LoginInputFits(std::string(38, 'i'), "p"));
    EXPECT_FALSE(LoginInputFits(std::string(39, 'i'), "p"));
    std::string strKorean19;
    for (int i = 0; i < 19; ++i)
        strKorean19 += "가";
    EXPECT_TRUE(LoginInputFits(strKorean19, "p"));
    EXPECT_FALSE(LoginInputFits(strKorean19 + "a", "p"));
    // Id and password together: at most 88 bytes, so the body stays within 149 characters.
    EXPECT_TRUE(LoginInputFits(std::string(38, 'i'), std::string(50, 'p')));
    EXPECT_FALSE(LoginInputFits(std::string(38, 'i'), std::string(51, 'p')));
    EXPECT_LE(MakeLoginBody(std::string(38, 'i'), std::string(50, 'p'))->size(),
              kMaxLoginBodyBytes);
    EXPECT_FALSE(MakeLoginBody(std::string(38, 'i'), std::string(51, 'p')));
    // Characters CP949 has no code for cannot be sent at all.
    EXPECT_FALSE(LoginInputFits("😀", "p"));
}

TEST(LoginFlow, EmptyFieldsAreCheckedBeforeAnyRequest) {
    SCannedPortal portal;
    CSettings settings;
    portal.m_transport.Install(settings);
    CRecordingView view;
    CLoginLogic logic(view, settings);

    SLoginOutcome noId = logic.OnLogin("", "secret");
    EXPECT_FALSE(noId.bLoggedIn);
    EXPECT_EQ(noId.eFocus, ELoginFocus::Id);
    SLoginOutcome noPw = logic.OnLogin("gamer", "");
    EXPECT_FALSE(noPw.bLoggedIn);
    EXPECT_EQ(noPw.eFocus, ELoginFocus::Pw);
    EXPECT_EQ(view.Messages(),
              (std::vector<std::string>{"아이디를 입력하십시오.", "패스워드를 입력하십시오."}));
    EXPECT_TRUE(portal.m_transport.Requests().empty());
}

TEST(LoginFlow, OddRepliesShowTheTemporaryFailure) {
    SCannedPortal portal;
    CSettings settings;
    portal.m_transport.Install(settings);
    CRecordingView view;
    CLoginLogic logic(view, settings);
    for (const std::string& strReply : {std::string("short"), OkReply(std::string(201, 'n')),
                                        std::string(200, 'x'), ErrReply("\xFF\xFE")}) {
        portal.m_transport.SetReply(strReply);
        EXPECT_FALSE(logic.OnLogin("gamer", "pw").bLoggedIn);
        EXPECT_EQ(view.LastText(), kMsgSystemFailure);
    }
    EXPECT_EQ(view.BoxCount(), 4u);
    EXPECT_EQ(settings.m_strId, "");
    // Spaces are not empty: the id goes out as typed, after the fixed code.
    ASSERT_FALSE(portal.m_transport.Requests().empty());
    portal.m_transport.SetReply(OkReply(""));
    SLoginOutcome outcome = logic.OnLogin("  ", "a&b");
    EXPECT_TRUE(outcome.bLoggedIn);
    EXPECT_EQ(portal.m_transport.Requests().back().strUrl, settings.m_endpoints.LoginUrl());
    EXPECT_EQ(portal.m_transport.Requests().back().body,
              "code=3c9a1f07d2b84e65a0c7f19e2d3b5a8c4e6f0a1b2c3d4e5f&id=  &pw=a&b");
    EXPECT_EQ(settings.m_strId, "  ");
    EXPECT_EQ(settings.m_strNickname, "");
}

TEST(LoginFlow, AgainstTheService) {
    CLiveService service;
    ASSERT_TRUE(service.IsRunning());
    ASSERT_TRUE(service.AddMember("gamer01", "zavdemo", "용감한전사"));
    CSettings settings;
    settings.m_endpoints = service.Endpoints();
    CRecordingView view;
    CLoginLogic logic(view, settings);

    // A refusal shows exactly the service's text and stores nothing.
    SLoginOutcome refused = logic.OnLogin("gamer01", "wrong");
    EXPECT_FALSE(refused.bLoggedIn);
    EXPECT_EQ(refused.eFocus, ELoginFocus::Id);
    EXPECT_EQ(view.Messages(),
              std::vector<std::string>{"아이디 또는 비밀번호가 올바르지 않습니다."});
    EXPECT_EQ(settings.m_strId, "");
    EXPECT_EQ(settings.m_strPw, "");

    // Success stores the account and the nickname, and shows nothing.
    view.ClearLog();
    SLoginOutcome ok = logic.OnLogin("gamer01", "zavdemo");
    EXPECT_TRUE(ok.bLoggedIn);
    EXPECT_EQ(view.BoxCount(), 0u);
    EXPECT_EQ(settings.GetId(), "gamer01");
    EXPECT_EQ(settings.m_strPw, "zavdemo");
    EXPECT_EQ(settings.GetNickname(), "용감한전사");

    // No service: the temporary failure.
    service.Stop();
    view.ClearLog();
    CSettings fresh;
    fresh.m_endpoints = service.Endpoints();
    CLoginLogic logic2(view, fresh);
    EXPECT_FALSE(logic2.OnLogin("gamer01", "zavdemo").bLoggedIn);
    EXPECT_EQ(view.Messages(), std::vector<std::string>{kMsgSystemFailure});
}

// Through the real transport: the diagnostic log gets the cause, never the password.
TEST(LoginFlow, FailuresAreLoggedWithoutThePassword) {
    CSandbox sandbox("zav-login");
    const std::string strLog = sandbox.Path("zav.log");
    OpenDiagLog(strLog);
    CScriptedServer portal;
    portal.SetAnswer(CScriptedServer::Reply(500, "<html>down</html>"));
    CSettings settings;
    settings.m_endpoints = SEndpoints::FromBases(portal.BaseUrl(), portal.BaseUrl());
    CRecordingView view;
    EXPECT_FALSE(CLoginLogic(view, settings).OnLogin("gamer01", "s3cret-pw").bLoggedIn);
    const std::string strText = ReadWholeFile(strLog);
    EXPECT_NE(strText.find("status 500"), std::string::npos) << strText;
    EXPECT_NE(strText.find("login: no usable reply"), std::string::npos) << strText;
    EXPECT_EQ(strText.find("s3cret"), std::string::npos) << strText;
    OpenDiagLog("");
}
