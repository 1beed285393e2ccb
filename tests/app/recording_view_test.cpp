// The recording view that the logic tests of every layer rely on: answers in order, waiting
// for boxes that arrive from other threads, and the call log used for order checks.
#include "support/recording_view.h"

#include <gtest/gtest.h>

#include <thread>

TEST(RecordingView, AnswersConfirmationsFromItsQueueThenTheDefault) {
    CRecordingView view;
    view.QueueConfirmAnswers({false, true});
    EXPECT_FALSE(view.Confirm("a"));
    EXPECT_TRUE(view.Confirm("b"));
    EXPECT_TRUE(view.Confirm("c"));  // default Yes
    view.SetDefaultConfirmAnswer(false);
    EXPECT_FALSE(view.Confirm("d"));
    view.Message("e");
    EXPECT_EQ(view.Confirms(), (std::vector<std::string>{"a", "b", "c", "d"}));
    EXPECT_EQ(view.Messages(), std::vector<std::string>{"e"});
    EXPECT_EQ(view.Boxes()[0], (CRecordingView::SBox{CRecordingView::SBox::Confirm, "a", false}));
}

TEST(RecordingView, WaitsForBoxesFromAnotherThread) {
    CRecordingView view;
    EXPECT_FALSE(view.WaitForBoxes(1, std::chrono::milliseconds(10)));
    std::thread worker([&] {
        view.SetProgressWidth(130);
        view.Message("업로드가 완료되었습니다.");
        view.Message("두 번째");
    });
    EXPECT_TRUE(view.WaitForBoxes(2));
    worker.join();
    EXPECT_EQ(view.Texts(), (std::vector<std::string>{"업로드가 완료되었습니다.", "두 번째"}));
    EXPECT_EQ(view.LastProgressWidth(), 130);
}

TEST(RecordingView, KeepsControlStateAndTheOrderOfCalls) {
    CRecordingView view;
    view.SetPickResult({SFolderPick::Path, "/games/wow"});
    view.SetChecked(IDC_BACKUP_FONT, true);
    view.SetText(IDC_MANUAL_PATH, "/x/");
    EXPECT_EQ(view.PickFolder().strPath, "/games/wow");
    view.SetWaitCursor(true);
    EXPECT_TRUE(view.IsChecked(IDC_BACKUP_FONT));
    EXPECT_FALSE(view.IsChecked(IDC_BACKUP_ADDON));
    EXPECT_EQ(view.GetText(IDC_MANUAL_PATH), "/x/");
    EXPECT_TRUE(view.WaitCursorOn());
    EXPECT_EQ(view.FindCall("PickFolder"), 2);
    EXPECT_EQ(view.FindCall("SetText 1014 /x/"), 1);
    view.ClearLog();
    EXPECT_TRUE(view.Calls().empty());
    EXPECT_TRUE(view.Checked(IDC_BACKUP_FONT));  // state survives ClearLog
}
