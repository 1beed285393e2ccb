#pragma once
// Stored archives as files: DIR/UserData/<member id>/__<Category>.zip. The archives of one
// upload are received into a staging folder beside the member folders and replace the stored
// ones all together or not at all (see CArchiveStore::Commit).

#include <openssl/evp.h>

#include <array>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace zavsvc {

struct SCategory {
    const char* pszName;     // item name in the du reply
    const char* pszArchive;  // stored file name and download name
    const char* pszField;    // form field of the upload
};

// In the order of the du reply: Fonts, Interface, WDB, WTF.
const std::array<SCategory, 4>& Categories();
const SCategory* CategoryByField(std::string_view field);
const SCategory* CategoryByArchive(std::string_view archive);

// Writes a whole file through a temporary name beside it (write, fsync, rename, fsync folder).
bool WriteFileAtomically(const std::string& strPath, std::string_view content, unsigned nMode,
                         std::string* pStrError);

class CUploadStage;

class CArchiveStore {
public:
    explicit CArchiveStore(std::string strDataDir) : m_strDataDir(std::move(strDataDir)) {}

    // The id must have passed IsValidMemberId.
    std::string MemberDir(std::string_view id) const;
    std::string ArchivePath(std::string_view id, const SCategory& category) const;
    int64_t ArchiveSize(std::string_view id, const SCategory& category) const;  // 0 when absent
    int64_t TotalStored() const;  // every stored archive of every member
    std::string UserDataDir() const { return m_strDataDir + "/UserData"; }
    bool RemoveAll(std::string_view id);
    // Finishes or undoes commits cut short by a crash and deletes staging folders and the
    // temporaries of older versions.
    void RecoverInterruptedCommits();

    // Makes the staged archives the member's, keeping the stored archives of the categories
    // the stage does not hold, all in one step: the staging folder, completed with hard links
    // to those archives, is exchanged with the member folder by one rename. Either every
    // staged archive replaced its stored one or none did, also across a crash. Where the file
    // system cannot exchange folders, the member folder is moved aside and the staging folder
    // renamed into its place; a failure of the second rename moves the old folder back, and a
    // crash between the two is undone by RecoverInterruptedCommits. False with the reason when
    // nothing changed. Call with CommitMutex held.
    bool Commit(std::string_view id, CUploadStage& stage, std::string* pStrError);
    // The same, always by the two renames: for file systems without the exchange, and tests.
    bool CommitByTwoRenames(std::string_view id, CUploadStage& stage, std::string* pStrError);

    std::mutex& CommitMutex() { return m_commitMutex; }

private:
    bool CommitStage(std::string_view id, CUploadStage& stage, bool bExchange,
                     std::string* pStrError);

    std::string m_strDataDir;
    std::mutex m_commitMutex;
};

// One archive being received into a file of a staging folder.
class CTempArchive {
public:
    CTempArchive() = default;
    ~CTempArchive();
    CTempArchive(const CTempArchive&) = delete;
    CTempArchive& operator=(const CTempArchive&) = delete;

    // A new file, readable by the owner only; with bHash, its SHA-256 is taken as it is written.
    bool Create(const std::string& strPath, bool bHash = false);
    bool Write(const char* p, size_t n);
    bool Finish();  // flushes, fsyncs and closes
    int64_t Size() const { return m_nSize; }
    const std::string& Path() const { return m_strPath; }
    // The SHA-256 of the bytes written, in hex, once finished (empty without bHash).
    const std::string& Sha256() const { return m_strSha256; }

private:
    bool Flush();

    int m_fd = -1;
    std::string m_strPath;
    std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX*)> m_pHash{nullptr, EVP_MD_CTX_free};
    std::string m_strSha256;
    std::vector<char> m_vecBuffer;
    int64_t m_nSize = 0;
};

// The archives of one upload, received into UserData/.stage-XXXXXX. The folder and whatever
// it holds (after a commit: the replaced archives) are deleted with the object.
class CUploadStage {
public:
    // With bHash, each archive's SHA-256 is taken as it arrives (for stores that check it).
    explicit CUploadStage(const CArchiveStore& store, bool bHash = false)
        : m_store(store), m_bHash(bHash) {}
    ~CUploadStage();
    CUploadStage(const CUploadStage&) = delete;
    CUploadStage& operator=(const CUploadStage&) = delete;

    // A new archive of the category, the staging folder made on first use; nullptr when the
    // folder or the file cannot be created.
    CTempArchive* Add(const SCategory& category);
    bool Holds(const SCategory& category) const;
    // Flushes and syncs every archive and the folder.
    bool Finish();

    struct SPart {
        const SCategory* pCategory;
        std::unique_ptr<CTempArchive> pFile;
    };
    const std::vector<SPart>& Parts() const { return m_vecParts; }
    const std::string& Dir() const { return m_strDir; }

private:
    const CArchiveStore& m_store;
    const bool m_bHash;
    std::string m_strDir;
    std::vector<SPart> m_vecParts;
};

}  // namespace zavsvc
