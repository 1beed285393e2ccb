// A throw-away game folder for the backup tests, and readers of what the backup wrote.
#pragma once

#include <string>
#include <utility>
#include <vector>

class CGameSandbox {
public:
    // A fresh folder under the temporary folder, with Ralum/Temp made; removed afterwards.
    CGameSandbox();
    ~CGameSandbox();
    CGameSandbox(const CGameSandbox&) = delete;
    CGameSandbox& operator=(const CGameSandbox&) = delete;

    // The game folder, ending with '/'.
    const std::string& Folder() const { return m_strFolder; }
    std::string Path(const std::string& strRelative) const { return m_strFolder + strRelative; }

    // Writes a file (its folders made as needed).
    void Write(const std::string& strRelative, const std::string& strContent) const;
    void MakeDir(const std::string& strRelative) const;
    bool Exists(const std::string& strRelative) const;

private:
    std::string m_strRoot;
    std::string m_strFolder;
};

std::string ReadWholeFile(const std::string& strPath);
// Bytes that do not compress: packed archives of them are about as large as the input.
std::string RandomBytes(size_t nSize, unsigned nSeed);

// Every entry of an archive in stored order: name (memory form) and uncompressed content.
// Fails the running test when the archive cannot be read or an entry is damaged.
std::vector<std::pair<std::string, std::string>> ReadArchive(const std::string& strPath);
std::vector<std::string> ArchiveNames(const std::string& strPath);
