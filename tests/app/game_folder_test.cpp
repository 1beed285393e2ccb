// Working folders, the game folder from the registry, and the game-folder controls.
#include "app/game_folder.h"

#include <unistd.h>

#include "app/app_messages.h"
#include "app/categories.h"
#include "app/main_logic.h"
#include "app/settings.h"
#include "support/app_sandbox.h"
#include "support/recording_view.h"

namespace {

namespace fs = std::filesystem;

const std::vector<std::string> kWorkingTree = {"Ralum", "Ralum/Original", "Ralum/Recent",
                                               "Ralum/Temp"};

const char* kNotFoundAtOpen =
    "World of Warcraft 설치 경로를 찾을 수 없습니다.\n\n와우 디렉토리를 수동으로 경로지정 하시기 "
    "바랍니다.";
const char* kNotFoundOnClick =
    "World of Warcraft 설치 경로를 찾을 수 없습니다.\n\n와우 디렉토리를 수동으로 선택하시기 "
    "바랍니다.";

// The category table: each order visits every category once, the upload's parts are numbered
// in its order, and the check boxes' groups share out every category.
TEST(CategoryTable, OrdersFieldsAndGroupsCoverEveryCategoryOnce) {
    for (const auto& order : {kUploadOrder, kRestoreOrder}) {
        uint8_t nSeen = 0;
        for (int i = 0; i < kCategoryCount; ++i)
            nSeen = static_cast<uint8_t>(nSeen | GetCategory(order[i]).nMask);
        EXPECT_EQ(nSeen, kMaskAll);
    }
    for (int i = 0; i < kCategoryCount; ++i)
        EXPECT_EQ(GetCategory(kUploadOrder[i]).szUploadField, "UserFile00" + std::to_string(i + 1));
    uint8_t nGrouped = 0;
    for (const SCheckGroup& group : kCheckGroups) {
        EXPECT_EQ(nGrouped & group.nMask, 0);
        nGrouped = static_cast<uint8_t>(nGrouped | group.nMask);
    }
    EXPECT_EQ(nGrouped, kMaskAll);
    for (const SCategory& category : kCategories)
        EXPECT_EQ(FindCategoryByWord(category.szWord), &category);
}

// The game folder as a value: only a folder every working, archive and copy path fits under.
TEST(GameFolderValue, OnlyAnAbsoluteFolderThatFitsTheBuffersIsOne) {
#ifdef _WIN32
    const std::string strRoot = "C:\\";
#else
    const std::string strRoot = "/";
#endif
    EGameFolder eWhy = EGameFolder::Usable;
    EXPECT_FALSE(CGameFolder::From("", &eWhy));
    EXPECT_EQ(eWhy, EGameFolder::Missing);
    EXPECT_FALSE(CGameFolder::From("World of Warcraft", &eWhy));
    EXPECT_EQ(eWhy, EGameFolder::Missing);
    // The longest path under it is an archive of the Interface: 26 bytes after the folder.
    const std::string strFits = strRoot + std::string(260 - 27 - strRoot.size() - 1, 'g');
    const std::string strLonger = strFits + "g";
    ASSERT_TRUE(CGameFolder::From(strFits, &eWhy));
    EXPECT_EQ(eWhy, EGameFolder::Usable);
    EXPECT_FALSE(CGameFolder::From(strLonger, &eWhy));
    EXPECT_EQ(eWhy, EGameFolder::TooLong);

    const CGameFolder folder = *CGameFolder::From(strFits);
    EXPECT_EQ(folder.Text(), strFits + kNativeSep);
    EXPECT_EQ(folder.Archive(ECategory::Interface).size(), 259u);
    EXPECT_EQ(folder.Archive(ECategory::Wtf),
              folder.Text() + NativeSeparators("Ralum/Temp/__WTF.zip"));
    EXPECT_EQ(folder.CategoryFolder(ECategory::Wdb),
              folder.Text() + NativeSeparators("Cache/WDB/koKR"));
    EXPECT_EQ(folder.Recent(ECategory::Wdb), folder.Text() + NativeSeparators("Ralum/Recent/WDB"));
    EXPECT_EQ(folder.Original(ECategory::Fonts),
              folder.Text() + NativeSeparators("Ralum/Original/Fonts"));
}

class WorkingFolders : public CAppSandbox {
protected:
    CSettings m_settings;
};

TEST_F(WorkingFolders, AreMadeUnderTheGameFolderWithoutThePlaceholder) {
    std::string strGame = Root() + "/WoW/";
    fs::create_directories(strGame);
    ASSERT_TRUE(m_settings.SetGameFolder(strGame));
    EXPECT_EQ(m_settings.CreateWorkingFolders(), 1);
    EXPECT_EQ(Tree(strGame), kWorkingTree);
    // Again, with everything there: nothing changes and it still succeeds.
    WriteWholeFile(strGame + "Ralum/Temp/__WTF.zip", "keep");
    EXPECT_EQ(m_settings.CreateWorkingFolders(), 1);
    EXPECT_EQ(ReadWholeFile(strGame + "Ralum/Temp/__WTF.zip"), "keep");
}

TEST_F(WorkingFolders, GameFolderWithoutSeparatorGetsOneAndNothingLandsBesideIt) {
    fs::create_directories(Root() + "/World of Warcraft");
    ASSERT_TRUE(m_settings.SetGameFolder(Root() + "/World of Warcraft"));
    EXPECT_EQ(m_settings.GetGameFolder(), Root() + "/World of Warcraft/");
    EXPECT_EQ(m_settings.CreateWorkingFolders(), 1);
    EXPECT_EQ(Tree(Root() + "/World of Warcraft"), kWorkingTree);
    EXPECT_FALSE(fs::exists(Root() + "/World of WarcraftRalum"));
}

TEST_F(WorkingFolders, MissingParentsOfAnAbsolutePathAreMadeFromTheRoot) {
    ASSERT_TRUE(m_settings.SetGameFolder(Root() + "/a/b/c/"));
    EXPECT_EQ(m_settings.CreateWorkingFolders(), 1);
    EXPECT_EQ(Tree(Root() + "/a/b/c"), kWorkingTree);
}

TEST_F(WorkingFolders, StopAtTheFirstFolderThatCannotBeMade) {
    std::string strGame = Root() + "/WoW/";
    WriteWholeFile(strGame + "Ralum/Original", "a file in the way");
    ASSERT_TRUE(m_settings.SetGameFolder(strGame));
    EXPECT_EQ(m_settings.CreateWorkingFolders(), 0);
    EXPECT_FALSE(fs::exists(strGame + "Ralum/Recent"));
    EXPECT_FALSE(fs::exists(strGame + "Ralum/Temp"));
}

TEST_F(WorkingFolders, PathsThatDoNotFitAreRefusedNotCut) {
    // Game folder plus "Ralum/Original/NONEED" one byte over 255.
    std::string strGame = Root() + "/";
    strGame += std::string(255 - 21 + 1 - strGame.size() - 1, 'g') + "/";
    ASSERT_EQ(strGame.size() + 21, 256u);
    ASSERT_TRUE(m_settings.SetGameFolder(strGame));
    EXPECT_EQ(m_settings.CreateWorkingFolders(), 0);
    EXPECT_FALSE(fs::exists(strGame));  // nothing made, not even the first folder

    EXPECT_EQ(CDirMaker(std::string(300, 'x') + "/NONEED").MakeParents(), 0);
}

TEST_F(WorkingFolders, RelativePathsKeepTheirDotsAndLastComponentIsNeverMade) {
    fs::create_directories(Root() + "/sub");
    fs::path old = fs::current_path();
    fs::current_path(Root() + "/sub");
    EXPECT_EQ(CDirMaker("../made/deeper/NONEED").MakeParents(), 1);
    EXPECT_EQ(CDirMaker("./here/NONEED").MakeParents(), 1);
    EXPECT_EQ(CDirMaker("single").MakeParents(), 1);
    fs::current_path(old);
    EXPECT_TRUE(IsDir(Root() + "/made/deeper"));
    EXPECT_FALSE(fs::exists(Root() + "/sub/made"));
    EXPECT_TRUE(IsDir(Root() + "/sub/here"));
    EXPECT_FALSE(fs::exists(Root() + "/made/deeper/NONEED"));
    EXPECT_FALSE(fs::exists(Root() + "/sub/single"));
}

TEST_F(WorkingFolders, FindGameFolderReadsTheRegistryOrSaysItIsMissing) {
    CRecordingView view;
    EXPECT_EQ(m_settings.FindGameFolder(view), 0);
    EXPECT_EQ(view.Messages(), std::vector<std::string>{kNotFoundAtOpen});
    EXPECT_STREQ(m_settings.GetGameFolder(), "");

    // An empty value is not a folder: nothing is made relative to the current folder.
    view.ClearLog();
    ASSERT_EQ(RegWriteString(kInstallPathValue, "", ERegRoot::LocalMachine), 1);
    EXPECT_EQ(m_settings.FindGameFolder(view), 0);
    EXPECT_EQ(view.Messages(), std::vector<std::string>{kNotFoundAtOpen});

    view.ClearLog();
    std::string strGame = Root() + "/WoW/";
    ASSERT_EQ(RegWriteString(kInstallPathValue, strGame.c_str(), ERegRoot::LocalMachine), 1);
    EXPECT_EQ(m_settings.FindGameFolder(view), 1);
    EXPECT_TRUE(view.Boxes().empty());
    EXPECT_EQ(m_settings.GetGameFolder(), strGame);
    EXPECT_EQ(Tree(strGame), kWorkingTree);
}

class FolderControls : public CAppSandbox {
protected:
    CSettings m_settings;
    CRecordingView m_view;
    CMainLogic m_logic{m_view, m_settings};

    std::string Registered() {
        char szOut[kMaxPath] = {};
        return RegReadString(kInstallPathValue, szOut, kMaxPath, ERegRoot::LocalMachine) > 0
                   ? szOut
                   : "<none>";
    }
};

TEST_F(FolderControls, PickedFolderGetsASeparatorIsStoredAndSwitchesToManual) {
    std::string strPicked = Root() + "/Games/WoW";
    fs::create_directories(strPicked);
    m_view.SetChecked(IDC_MODE_AUTO, true);
    m_view.SetPickResult({SFolderPick::Path, strPicked});
    m_logic.OnBrowseFolder();

    EXPECT_EQ(m_settings.GetGameFolder(), strPicked + "/");
    EXPECT_EQ(Registered(), strPicked + "/");
    EXPECT_EQ(Tree(strPicked), kWorkingTree);
    EXPECT_FALSE(m_view.Checked(IDC_MODE_AUTO));
    EXPECT_TRUE(m_view.Checked(IDC_MODE_MANUAL));
    EXPECT_EQ(m_view.Text(IDC_MANUAL_PATH), strPicked + "/");
    EXPECT_TRUE(m_view.Boxes().empty());

    // A path that already ends with the separator keeps one.
    m_view.SetPickResult({SFolderPick::Path, Root() + "/"});
    m_logic.OnBrowseFolder();
    EXPECT_EQ(m_settings.GetGameFolder(), Root() + "/");
}

TEST_F(FolderControls, CancelledOrEmptyPickChangesNothing) {
    ASSERT_TRUE(m_settings.SetGameFolder("/before/"));
    m_view.SetChecked(IDC_MODE_AUTO, true);
    m_view.ClearLog();
    for (SFolderPick pick :
         {SFolderPick{SFolderPick::Cancelled, ""}, SFolderPick{SFolderPick::Empty, ""},
          SFolderPick{SFolderPick::Path, ""}}) {
        m_view.SetPickResult(pick);
        m_logic.OnBrowseFolder();
    }
    EXPECT_STREQ(m_settings.GetGameFolder(), "/before/");
    EXPECT_EQ(Registered(), "<none>");
    EXPECT_TRUE(m_view.Checked(IDC_MODE_AUTO));
    EXPECT_EQ(m_view.PickFolderCount(), 3);
    EXPECT_EQ(m_view.Calls(), (std::vector<std::string>(3, "PickFolder")));
}

TEST_F(FolderControls, PickThatCannotBeStoredIsStillUsed) {
    WriteWholeFile(Root() + "/config", "a file where the config folder should be");
    std::string strPicked = Root() + "/WoW/";
    m_view.SetPickResult({SFolderPick::Path, strPicked});
    m_logic.OnBrowseFolder();
    EXPECT_EQ(m_view.Messages(),
              std::vector<std::string>{"선택하신 경로를 저장하지 못하였습니다."});
    EXPECT_EQ(m_settings.GetGameFolder(), strPicked);
    EXPECT_TRUE(m_view.Checked(IDC_MODE_MANUAL));
    EXPECT_EQ(m_view.Text(IDC_MANUAL_PATH), strPicked);
}

TEST_F(FolderControls, AutomaticModeReadsTheRegistry) {
    std::string strGame = Root() + "/WoW/";
    ASSERT_EQ(RegWriteString(kInstallPathValue, strGame.c_str(), ERegRoot::LocalMachine), 1);
    m_view.SetChecked(IDC_MODE_AUTO, true);
    m_logic.OnGameFolderMode();
    EXPECT_EQ(m_view.Text(IDC_REGISTRY_PATH), strGame);
    EXPECT_EQ(m_settings.GetGameFolder(), strGame);
    EXPECT_EQ(Tree(strGame), kWorkingTree);
    EXPECT_EQ(m_logic.GetGamePathText(), strGame);
    EXPECT_TRUE(m_view.Boxes().empty());
}

TEST_F(FolderControls, AutomaticModeWithoutAValueSwitchesToManualAndKeepsTheFolder) {
    ASSERT_TRUE(m_settings.SetGameFolder("/before/"));
    m_view.SetText(IDC_REGISTRY_PATH, "/stale/");
    m_view.SetText(IDC_MANUAL_PATH, "/typed");
    m_view.SetChecked(IDC_MODE_AUTO, true);
    m_logic.OnGameFolderMode();
    EXPECT_EQ(m_view.Messages(), std::vector<std::string>{kNotFoundOnClick});
    EXPECT_EQ(m_view.Text(IDC_REGISTRY_PATH), "");
    EXPECT_FALSE(m_view.Checked(IDC_MODE_AUTO));
    EXPECT_TRUE(m_view.Checked(IDC_MODE_MANUAL));
    EXPECT_EQ(m_view.Text(IDC_MANUAL_PATH), "/typed");
    EXPECT_STREQ(m_settings.GetGameFolder(), "/before/");
    EXPECT_EQ(m_logic.GetGamePathText(), "/typed");
}

TEST_F(FolderControls, ManualModeUsesTheTypedPathAsItIs) {
    ASSERT_TRUE(m_settings.SetGameFolder("/before/"));
    m_view.SetChecked(IDC_MODE_MANUAL, true);
    m_view.SetText(IDC_MANUAL_PATH, "");
    m_logic.OnGameFolderMode();
    EXPECT_STREQ(m_settings.GetGameFolder(), "/before/");
    EXPECT_TRUE(m_view.Boxes().empty());

    std::string strTyped = Root() + "/Typed";
    m_view.SetText(IDC_MANUAL_PATH, strTyped);
    m_logic.OnGameFolderMode();
    // The folder gets its separator, and the field shows it as it is used.
    EXPECT_EQ(m_settings.GetGameFolder(), strTyped + "/");
    EXPECT_EQ(m_view.Text(IDC_MANUAL_PATH), strTyped + "/");
    EXPECT_EQ(Tree(strTyped), kWorkingTree);
    EXPECT_EQ(Registered(), "<none>");  // typed paths are not stored
    EXPECT_TRUE(m_view.Boxes().empty());

    // A relative path is no game folder: nothing is made under the current folder.
    m_view.SetText(IDC_MANUAL_PATH, "relative/WoW");
    m_logic.OnGameFolderMode();
    EXPECT_EQ(m_settings.GetGameFolder(), strTyped + "/");
    EXPECT_FALSE(fs::exists("relative"));
}

TEST_F(FolderControls, RegistryValueWithoutSeparatorGetsOne) {
    const std::string strGame = Root() + "/World of Warcraft";
    ASSERT_EQ(RegWriteString(kInstallPathValue, strGame.c_str(), ERegRoot::LocalMachine), 1);
    CSettings settings;
    EXPECT_EQ(settings.FindGameFolder(m_view), 1);
    EXPECT_EQ(settings.GetGameFolder(), strGame + "/");
    m_view.SetChecked(IDC_MODE_AUTO, true);
    m_logic.OnGameFolderMode();
    EXPECT_EQ(m_settings.GetGameFolder(), strGame + "/");
    EXPECT_EQ(m_view.Text(IDC_REGISTRY_PATH), strGame + "/");
    EXPECT_EQ(Tree(strGame), kWorkingTree);
    EXPECT_FALSE(fs::exists(strGame + "Ralum"));
}

TEST_F(FolderControls, FolderTooLongForThePathBuffersIsToldAndChangesNothing) {
    ASSERT_TRUE(m_settings.SetGameFolder("/before/"));
    // Game folder plus "Ralum/Temp/__Interface.zip" one byte over 259.
    const std::string strLong = Root() + "/" + std::string(234 - Root().size() - 2, 'x') + "/";
    ASSERT_EQ(strLong.size(), 234u);
    m_view.SetPickResult({SFolderPick::Path, strLong});
    m_logic.OnBrowseFolder();
    m_view.SetChecked(IDC_MODE_MANUAL, true);
    m_view.SetText(IDC_MANUAL_PATH, strLong);
    m_logic.OnGameFolderMode();
    EXPECT_EQ(m_view.Messages(), std::vector<std::string>(2, kMsgGameFolderTooLong));
    EXPECT_STREQ(m_settings.GetGameFolder(), "/before/");
    EXPECT_EQ(Registered(), "<none>");
    EXPECT_FALSE(fs::exists(strLong));

    // One byte shorter fits.
    m_view.ClearLog();
    m_view.SetPickResult({SFolderPick::Path, strLong.substr(0, strLong.size() - 2)});
    m_logic.OnBrowseFolder();
    EXPECT_TRUE(m_view.Boxes().empty());
    EXPECT_EQ(m_settings.GetGameFolder(), strLong.substr(0, strLong.size() - 2) + "/");
}

TEST_F(FolderControls, TheFolderTheWindowShowsIsTheFolderCommandsTake) {
    const std::string strOld = Root() + "/Old/", strTyped = Root() + "/Typed";
    ASSERT_TRUE(m_settings.SetGameFolder(strOld));
    m_view.SetChecked(IDC_MODE_MANUAL, true);
    m_view.SetText(IDC_MANUAL_PATH, strTyped);  // typed, the radio not clicked again
    EXPECT_EQ(m_logic.TakeShownGameFolder()->Text(), strTyped + "/");
    EXPECT_EQ(m_settings.GetGameFolder(), strTyped + "/");
    EXPECT_EQ(Tree(strTyped), kWorkingTree);

    // Finishing the edit takes the folder at once, in manual mode only.
    const std::string strEdited = Root() + "/Edited/";
    m_view.SetText(IDC_MANUAL_PATH, strEdited);
    m_logic.OnManualPathEdited();
    EXPECT_EQ(m_settings.GetGameFolder(), strEdited);
    m_view.SetChecked(IDC_MODE_MANUAL, false);
    m_view.SetChecked(IDC_MODE_AUTO, true);
    m_view.SetText(IDC_MANUAL_PATH, strOld);
    m_logic.OnManualPathEdited();
    EXPECT_EQ(m_settings.GetGameFolder(), strEdited);

    // Nothing usable shown: the command is told, the folder stays.
    m_view.SetText(IDC_REGISTRY_PATH, "");
    EXPECT_FALSE(m_logic.TakeShownGameFolder());
    EXPECT_EQ(m_view.Messages(), std::vector<std::string>{kMsgNoGameFolder});
    EXPECT_EQ(m_settings.GetGameFolder(), strEdited);
}

TEST(Categories, PathsAreTheGameFolderFollowedByTheRelativePath) {
    EXPECT_EQ(ArchivePath("/g/", ECategory::Interface), "/g/Ralum/Temp/__Interface.zip");
    EXPECT_EQ(CategoryFolderPath("/g/", ECategory::Wdb), "/g/Cache/WDB/koKR");
    EXPECT_EQ(RecentPath("/g", ECategory::Wtf), "/gRalum/Recent/WTF");
    EXPECT_EQ(OriginalPath("/g/", ECategory::Fonts), "/g/Ralum/Original/Fonts");
    EXPECT_EQ(FindCategoryByWord("WDB")->nMask, kMaskWdb);
    EXPECT_EQ(FindCategoryByWord("wdb"), nullptr);
    EXPECT_STREQ(FindCategoryByMask(kMaskFonts)->szArchiveName, "__Fonts.zip");
    EXPECT_EQ(FindCategoryByMask(0x01), nullptr);

    std::string strFolder(259 - 20, 'f');  // + "Ralum/Temp/__WTF.zip" = 259 bytes: fits
    EXPECT_TRUE(ArchivePath(strFolder, ECategory::Wtf).has_value());
    EXPECT_FALSE(ArchivePath(strFolder + "f", ECategory::Wtf).has_value());
}

}  // namespace
