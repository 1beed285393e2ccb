// A throw-away game folder for the backup tests, readers of what the backup wrote, and the
// service as the upload tests script it on the scripted server.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "support/file_io.h"
#include "support/sandbox.h"
#include "support/scripted_server.h"
#include "support/tree_snapshot.h"

class CGameSandbox {
public:
    // A fresh folder under the temporary folder, with Ralum/Temp made; removed afterwards.
    CGameSandbox();
    ~CGameSandbox();
    CGameSandbox(const CGameSandbox&) = delete;
    CGameSandbox& operator=(const CGameSandbox&) = delete;

    // The game folder, ending with '/'.
    const std::string& Folder() const { return m_strFolder; }
    // The temporary folder that holds it.
    const std::string& Root() const { return m_sandbox.Path(); }
    std::string Path(const std::string& strRelative) const { return m_strFolder + strRelative; }

    // Writes a file (its folders made as needed).
    void Write(const std::string& strRelative, const std::string& strContent) const;
    void MakeDir(const std::string& strRelative) const;
    bool Exists(const std::string& strRelative) const;

private:
    CSandbox m_sandbox{"zav-backup"};
    std::string m_strFolder;
};

// A folder of the game folder that the program cannot open for the object's life, as one the
// member has no right to read or (on Windows) one another program holds locked. POSIX: mode
// 000, and since root opens any folder, a process running as root meanwhile runs as "nobody"
// (its effective user and group; the sandbox is handed to that user first). Windows: a handle
// to the folder that shares nothing. When that cannot be done here, IsLocked() is false and
// Reason() says why.
class CLockedFolder {
public:
    CLockedFolder(const CGameSandbox& box, const std::string& strRelative);
    ~CLockedFolder();
    CLockedFolder(const CLockedFolder&) = delete;
    CLockedFolder& operator=(const CLockedFolder&) = delete;

    bool IsLocked() const { return m_strReason.empty(); }
    const std::string& Reason() const { return m_strReason; }

private:
    std::string m_strPath;
    std::string m_strReason;
    bool m_bSwitchedUser = false;
    void* m_pHandle = nullptr;  // Windows: the handle that holds the folder
};

// How the account script (auth.php) and the upload (post.php) answer.
struct SServiceScript {
    std::string strAuthReply = "+OK<br>";
    int nUploadStatus = 200;
    bool bReplyWhenCut = false;  // an upload cut at the body limit still gets its status
};
CScriptedServer::Handler ServiceHandler(SServiceScript script = {});

// Every entry of an archive in stored order: name (memory form) and uncompressed content.
// Fails the running test when the archive cannot be read or an entry is damaged.
std::vector<std::pair<std::string, std::string>> ReadArchive(const std::string& strPath);
std::vector<std::string> ArchiveNames(const std::string& strPath);
