// The damaged-SavedVariables check: how the lexer judges the end of a text, which files the
// scan reads, and the backup's question.
#include "app/saved_variables_check.h"

#include <filesystem>

#include "app/categories.h"
#include "support/app_sandbox.h"

namespace {

using namespace std::string_literals;

struct SLexCase {
    const char* szCase;
    std::string strText;
    ELuaEnd eEnd;
};

// A SavedVariables text of about 12 KB as the game writes it.
std::string GameText() {
    std::string strText = "WeakAurasSaved = {\n";
    for (int i = 0; i < 200; ++i)
        strText +=
            "\t[\"달빛궁수 " + std::to_string(i) + "\"] = { [\"alpha\"] = 1, \"a\\\"b\" },\n";
    return strText + "}\n";
}

// The text with nBytes from nAt on zeroed, as a crash leaves a page it never wrote.
std::string Zeroed(std::string strText, size_t nAt, size_t nBytes) {
    strText.replace(nAt, nBytes, std::string(nBytes, '\0'));
    return strText;
}

TEST(LuaEnd, EndOfTextWholeAndByteByByte) {
    const std::string strNul(kLongNulRun, '\0');
    const std::string strShortNul(kLongNulRun - 1, '\0');
    const std::vector<SLexCase> cases = {
        // Complete texts.
        {"tables", "\nX = {\n\t[\"a\"] = { 1, 2 },\n\t[3] = true,\n}\nY = nil\n", ELuaEnd::Clean},
        {"CRLF", "X = {\r\n\t[\"a\"] = 1,\r\n}\r\n", ELuaEnd::Clean},
        {"]] in a quoted string", "X = { \"a]]b\", 'c]=]' }", ELuaEnd::Clean},
        {"comment marks in a string", "X = { \"--[[\", '--' }", ELuaEnd::Clean},
        {"braces in strings", "X = { \"{{\", '{' }", ELuaEnd::Clean},
        {"escaped quotes and backslash", "X = { \"a\\\"b\", 'c\\'d', \"e\\\\\" }", ELuaEnd::Clean},
        {"other quote inside", "X = { \"it's\", 'say \"hi\"' }", ELuaEnd::Clean},
        {"numeric escapes", "X = { \"\\065\\x41\\u{AC00}\\0\" }", ELuaEnd::Clean},
        {"\\z skips line breaks", "X = { \"a\\z\n\r\n   b\" }", ELuaEnd::Clean},
        {"escaped line breaks", "X = { \"a\\\nb\", \"c\\\r\nd\", \"e\\\n\rf\" }", ELuaEnd::Clean},
        {"long string with ]] inside a higher level", "X = { [=[ a ]] } ]=] }", ELuaEnd::Clean},
        {"closing found after a wrong level", "X = { [==[ a ]=]==] }", ELuaEnd::Clean},
        {"long string as an index", "X = {} X[ [=[x]=] ] = 1", ELuaEnd::Clean},
        {"[= without [ is no long string", "X = { a[ [= 1 }", ELuaEnd::Clean},
        {"numbers with minus signs", "X = { 1e-5, -3, 0x1p-4, 2 - -1, 5-1 }", ELuaEnd::Clean},
        {"line comment with a brace", "X = {} -- {", ELuaEnd::Clean},
        {"--[ and --[=x are line comments", "X = {} --[ {\nY = 1 --[=x {", ELuaEnd::Clean},
        {"closed long comment", "--[==[ { ]] ]=] ]==]\nX = {}", ELuaEnd::Clean},
        {"a minus at the end", "X = 1 -", ELuaEnd::Clean},
        {"UTF-8 text", "X = { [\"달빛궁수 - 하늘바다\"] = \"Default\" }", ELuaEnd::Clean},
        {"closing braces in strings", "X = { \"}}\", '}' } -- }", ELuaEnd::Clean},
        {"NUL bytes in a quoted string", "X = { \"a\0\0b\" }"s, ELuaEnd::Clean},
        {"a shorter NUL run in a long string", "X = { [[" + strShortNul + "]] }", ELuaEnd::Clean},
        {"a NUL run broken by a ]", "X = { [=[" + strShortNul + "]" + strShortNul + "]=] }",
         ELuaEnd::Clean},
        {"an escaped NUL breaks a run", "X = { \"" + strShortNul + "\\" + strNul.substr(1) + "\" }",
         ELuaEnd::Clean},
        {"a game text", GameText(), ELuaEnd::Clean},
        // Empty.
        {"no bytes", "", ELuaEnd::Empty},
        {"white space", " \r\n\t\f\v", ELuaEnd::Empty},
        {"NUL bytes", "\0\0\0\n\0"s, ELuaEnd::Empty},
        // Cut off.
        {"inside a table", "X = {\n\t[\"a\"] = 1,\n", ELuaEnd::Table},
        {"inside a nested table", "X = {\n\t[\"a\"] = {\n\t\t1,\n\t},\n\t[\"b\"] = {",
         ELuaEnd::Table},
        // Zeroed.
        {"NUL bytes after an open table", "X = {\n\0\0\0"s, ELuaEnd::Zeroed},
        {"NUL bytes after a complete text", "X = {}\n\0\0\0"s, ELuaEnd::Zeroed},
        {"one NUL between tokens", "X = {\0}"s, ELuaEnd::Zeroed},
        {"NUL bytes before the text", "\0\0X = {}"s, ELuaEnd::Zeroed},
        {"a zeroed page in the middle", Zeroed(GameText(), 4096, 4096), ELuaEnd::Zeroed},
        {"a zeroed page at the start", Zeroed(GameText(), 0, 4096), ELuaEnd::Zeroed},
        {"a zeroed page inside a long string", "X = { [==[" + std::string(4096, '\0') + "]==] }",
         ELuaEnd::Zeroed},
        {"a NUL run inside a quoted string", "X = { 'a" + strNul + "' }", ELuaEnd::Zeroed},
        {"a NUL run in a line comment", "X = {} --" + strNul + "\n", ELuaEnd::Zeroed},
        {"a NUL run in a long comment", "--[[" + strNul + "]] X = {}", ELuaEnd::Zeroed},
        {"a NUL run in a long string cut off", "X = { [[" + strNul, ELuaEnd::Zeroed},
        // A '}' that closes no table.
        {"one } too many", "X = {\n}\n}\n", ELuaEnd::Unbalanced},
        {"a } before its {", "X = } Y = {", ELuaEnd::Unbalanced},
        {"inside a quoted string", "X = { \"abc", ELuaEnd::String},
        {"after an escaped quote", "X = { \"a\\\"", ELuaEnd::String},
        {"after a backslash", "X = { 'a\\", ELuaEnd::String},
        {"raw line break in a quoted string", "X = { \"a\nb\" }", ELuaEnd::String},
        {"second line break after an escaped one", "X = { \"a\\\n\nb\" }", ELuaEnd::String},
        {"inside a long string", "X = { [[abc]", ELuaEnd::String},
        {"long string closed at the wrong level", "X = { [==[ a ]=] }", ELuaEnd::String},
        {"long string closed at a higher level", "X = { [=[ a ]==] }", ELuaEnd::String},
        {"long string one ] short", "X = { [==[ a ]==", ELuaEnd::String},
        {"inside a long comment", "X = {} --[[ note", ELuaEnd::Comment},
        {"long comment closed at the wrong level", "X = {} --[==[ a ]] }", ELuaEnd::Comment},
    };
    for (const SLexCase& lexCase : cases) {
        SCOPED_TRACE(lexCase.szCase);
        EXPECT_EQ(ScanLuaEnd(lexCase.strText), lexCase.eEnd);
        CLuaEndScanner scanner;
        for (char c : lexCase.strText)
            scanner.Feed(std::string_view(&c, 1));
        EXPECT_EQ(scanner.End(), lexCase.eEnd);
    }
}

class SavedVariablesScan : public CAppSandbox {
protected:
    std::string Game() const { return Root() + "/game/"; }
    void Put(const std::string& strRelative, const std::string& strText) {
        WriteWholeFile(Game() + strRelative, strText);
    }
};

std::string Native(std::string strPath) {
    std::replace(strPath.begin(), strPath.end(), '/', kNativeSep);
    return strPath;
}

TEST_F(SavedVariablesScan, ReadsTheTwoSavedVariablesDepthsOnly) {
    const std::string strCut = "X = {\n\t[\"a\"] = {\n";
    const std::string strGood = "X = {\n}\n";
    // Scanned.
    Put("WTF/Account/GAMER/SavedVariables/Good.lua", strGood);
    Put("WTF/Account/GAMER/SavedVariables/WeakAuras.lua", strCut);
    Put("WTF/Account/GAMER/SavedVariables/Blank.lua", "");
    Put("WTF/Account/GAMER/SavedVariables/Upper.LUA", strCut);
    Put("WTF/Account/GAMER/하늘바다/달빛궁수/SavedVariables/툴팁.lua", "X = { \"a");
    Put("WTF/Account/GAMER/하늘바다/달빛궁수/SavedVariables/Fine.lua", strGood);
    Put("WTF/Account/ALT/Realm/Char/SavedVariables/Notes.lua", "X = {} --[[");
    // Not scanned: other names, other depths.
    Put("WTF/Account/GAMER/SavedVariables/WeakAuras.lua.bak", strCut);
    Put("WTF/Account/GAMER/SavedVariables/readme.txt", strCut);
    Put("WTF/Account/GAMER/SavedVariables/Folder.lua/Inner.lua", strCut);
    Put("WTF/Account/GAMER/SavedVariables.lua", strCut);
    Put("WTF/Account/GAMER/하늘바다/SavedVariables/Realm.lua", strCut);
    Put("WTF/Account/GAMER/하늘바다/달빛궁수/SavedVariables/Sub/Deep.lua", strCut);
    Put("WTF/Account/GAMER/하늘바다/달빛궁수/Extra/SavedVariables/Deeper.lua", strCut);
    Put("WTF/SavedVariables/Top.lua", strCut);
    Put("Interface/AddOns/A/SavedVariables/A.lua", strCut);

    std::vector<SDamagedFile> damaged = FindDamagedSavedVariables(Game());
    std::vector<std::pair<std::string, ELuaEnd>> found;
    for (const SDamagedFile& file : damaged)
        found.emplace_back(file.strPath, file.eEnd);
    const std::vector<std::pair<std::string, ELuaEnd>> expected = {
        {Native("Account/ALT/Realm/Char/SavedVariables/Notes.lua"), ELuaEnd::Comment},
        {Native("Account/GAMER/SavedVariables/Blank.lua"), ELuaEnd::Empty},
        {Native("Account/GAMER/SavedVariables/Upper.LUA"), ELuaEnd::Table},
        {Native("Account/GAMER/SavedVariables/WeakAuras.lua"), ELuaEnd::Table},
        {Native("Account/GAMER/하늘바다/달빛궁수/SavedVariables/툴팁.lua"), ELuaEnd::String},
    };
    EXPECT_EQ(found, expected);
}

// A file cut off inside a long string that spans the scan's read pieces is still seen.
TEST_F(SavedVariablesScan, FileLongerThanOneReadPiece) {
    std::string strText = "X = { [[" + std::string(3 << 20, 'x') + "]";
    Put("WTF/Account/A/SavedVariables/Big.lua", strText);
    Put("WTF/Account/A/SavedVariables/BigGood.lua", strText + "] }");
    std::vector<SDamagedFile> damaged = FindDamagedSavedVariables(Game());
    ASSERT_EQ(damaged.size(), 1u);
    EXPECT_EQ(damaged[0].strPath, Native("Account/A/SavedVariables/Big.lua"));
    EXPECT_EQ(damaged[0].eEnd, ELuaEnd::String);
}

std::vector<SDamagedFile> Files(int nCount) {
    std::vector<SDamagedFile> files;
    for (int i = 1; i <= nCount; ++i)
        files.push_back({"Account/A/SavedVariables/F" + std::to_string(i) + ".lua",
                         i == 2 ? ELuaEnd::Empty : ELuaEnd::Table});
    return files;
}

TEST(DamagedFilesQuestion, SaysWhatIsWrongWithEachFile) {
    const std::string strText = DamagedFilesQuestion(
        {{"A.lua", ELuaEnd::Zeroed}, {"B.lua", ELuaEnd::Unbalanced}, {"C.lua", ELuaEnd::Comment}});
    EXPECT_NE(strText.find("\n\nA.lua (내용 일부가 지워짐)\nB.lua (괄호가 맞지 않음)\n"
                           "C.lua (내용이 중간에 끊김)\n\n"),
              std::string::npos)
        << strText;
}

TEST(DamagedFilesQuestion, NamesUpToFiveFilesAndCountsTheRest) {
    const std::string strHead = "다음 설정 파일이 손상되었을 수 있습니다.\n\n";
    const std::string strTail =
        "\n이대로 백업하면 서버에 저장된 설정이 손상된 파일로 바뀝니다.\n그래도 "
        "백업하시겠습니까?";
    EXPECT_EQ(DamagedFilesQuestion(Files(1)),
              strHead + "Account/A/SavedVariables/F1.lua (내용이 중간에 끊김)\n" + strTail);
    std::string strFive = DamagedFilesQuestion(Files(5));
    EXPECT_NE(strFive.find("F5.lua (내용이 중간에 끊김)\n\n"), std::string::npos);
    EXPECT_EQ(strFive.find("외 "), std::string::npos);
    EXPECT_EQ(DamagedFilesQuestion(Files(7)),
              strHead +
                  "Account/A/SavedVariables/F1.lua (내용이 중간에 끊김)\n"
                  "Account/A/SavedVariables/F2.lua (빈 파일)\n"
                  "Account/A/SavedVariables/F3.lua (내용이 중간에 끊김)\n"
                  "Account/A/SavedVariables/F4.lua (내용이 중간에 끊김)\n"
                  "Account/A/SavedVariables/F5.lua (내용이 중간에 끊김)\n"
                  "외 2개 파일\n" +
                  strTail);
}

}  // namespace
