// The check before a backup packs WTF: a SavedVariables file that is empty, or that a crash or
// a power cut has cut off inside a table, a string or a comment, would replace the member's
// good copy on the server. The game writes each file as Lua assignments ("Name = { ... }"), so
// a small Lua lexer tells whether a file ends where a complete file can end.
//
// It lives in the application core because it knows the game's folder layout (like the
// category table) and the text the backup asks with; it needs no archive or network code.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// How a Lua text ends, or what else marks it as damaged.
enum class ELuaEnd {
    Clean,       // outside every table, string and comment
    Empty,       // nothing but white space and NUL bytes (what an unwritten file holds)
    Table,       // more '{' than '}' opened outside strings and comments
    String,      // inside a quoted or long string, or a quoted string broken by a raw line break
    Comment,     // inside a long comment --[[ ... ]] / --[==[ ... ]==]
    Zeroed,      // NUL bytes where no text has them: any outside strings and comments (never
                 // valid Lua), or a run of kLongNulRun inside one. A crash that zeroed a page
                 // of the file leaves them.
    Unbalanced,  // a '}' outside strings and comments that closes no table
};

// NUL bytes in a row inside a string or comment that mark the text as damaged. Damage zeroes
// whole sectors (512 bytes) or pages: a zeroed sector that reaches code is seen at its first
// byte, and one that lies inside a string leaves a run of at least this length. Shorter runs
// are valid Lua and may be data.
inline constexpr size_t kLongNulRun = 512;

// A Lua lexer reduced to what the end of a text needs: strings ('...' and "..." with their
// escapes, among them \z and an escaped line break), long strings [[...]] and [==[...]==] of a
// matching level, comments (-- to the end of the line, --[[...]] and --[==[...]==]), the
// balance of braces outside them and NUL bytes. Bytes arrive in pieces of any size, so a file
// of any length passes through a fixed buffer in one linear pass.
class CLuaEndScanner {
public:
    void Feed(std::string_view bytes);
    ELuaEnd End() const;

private:
    enum class EState : uint8_t {
        Code,
        Dash,            // one '-' read
        CommentStart,    // "--" read
        OpenBracket,     // '[' and m_nCount '=' read, of a comment when m_bComment
        LineComment,     // up to the next line break
        Quoted,          // inside m_cQuote ... m_cQuote
        Escape,          // after a backslash in a quoted string
        EscapedBreak,    // after a backslash and the line break m_cBreak
        SkipSpace,       // after \z: white space, line breaks included, is skipped
        LongBody,        // inside a long string or comment of level m_nLevel
        LongClose,       // ']' and m_nCount '=' read inside it
        UnfinishedText,  // a raw line break ended a quoted string: the text cannot load
    };
    // Reads code from p on; returns the state that the byte at p (if any) is read in.
    EState ReadCode(const char*& p, const char* pEnd, int64_t& nDepth, bool& bContent);
    // Reads the NUL bytes from p (a NUL inside a string or comment) on; returns the end of the
    // run. pStart is where this piece began: a run there continues the one the last piece
    // ended with.
    const char* SkipNulRun(const char* p, const char* pStart, const char* pEnd);

    EState m_eState = EState::Code;
    bool m_bComment = false;
    bool m_bContent = false;
    char m_cQuote = '"';
    char m_cBreak = '\n';
    size_t m_nCount = 0;
    size_t m_nLevel = 0;
    int64_t m_nDepth = 0;
    size_t m_nNulRun = 0;  // NUL bytes that ended the last piece inside a string or comment
    bool m_bZeroed = false;
    bool m_bUnbalanced = false;
};

// How the whole text ends.
ELuaEnd ScanLuaEnd(std::string_view text);

struct SDamagedFile {
    std::string strPath;  // relative to WTF, native separators: "Account/X/SavedVariables/A.lua"
    ELuaEnd eEnd;         // never Clean
};

// Every damaged SavedVariables file of the game folder, sorted by path: the *.lua files
// (extension in any ASCII case; "x.lua.bak" is not one) directly in
//   WTF/Account/<account>/SavedVariables/ and
//   WTF/Account/<account>/<realm>/<character>/SavedVariables/.
// A folder or file that cannot be read is passed over: it is not judged here, and packing it
// reports its own failure.
std::vector<SDamagedFile> FindDamagedSavedVariables(const std::string& strGameFolder);

// The backup's question before packing: names up to five files with what is wrong with each,
// and how many more there are.
std::string DamagedFilesQuestion(const std::vector<SDamagedFile>& files);
