#pragma once
// Stored archives as files: DIR/UserData/<member id>/__<Category>.zip. New archives are received
// into a temporary file in the same folder and renamed over the old one only when complete.

#include <array>
#include <cstdint>
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

class CArchiveStore {
public:
    explicit CArchiveStore(std::string strDataDir) : m_strDataDir(std::move(strDataDir)) {}

    // The id must have passed IsValidMemberId.
    std::string MemberDir(std::string_view id) const;
    std::string ArchivePath(std::string_view id, const SCategory& category) const;
    int64_t ArchiveSize(std::string_view id, const SCategory& category) const;  // 0 when absent
    int64_t TotalStored() const;  // every stored archive of every member
    bool RemoveAll(std::string_view id);
    // Deletes leftovers of uploads cut short by a crash.
    void RemoveStaleTemporaries();

    std::mutex& CommitMutex() { return m_commitMutex; }

private:
    std::string m_strDataDir;
    std::mutex m_commitMutex;
};

// One archive being received; deleted on destruction unless committed.
class CTempArchive {
public:
    CTempArchive() = default;
    ~CTempArchive();
    CTempArchive(const CTempArchive&) = delete;
    CTempArchive& operator=(const CTempArchive&) = delete;

    bool Create(const std::string& strDir);
    bool Write(const char* p, size_t n);
    bool Finish();  // flushes and fsyncs; the file stays open for nothing afterwards
    bool CommitTo(const std::string& strTarget);
    int64_t Size() const { return m_nSize; }

private:
    bool Flush();

    int m_fd = -1;
    std::string m_strPath;
    std::vector<char> m_vecBuffer;
    int64_t m_nSize = 0;
    bool m_bCommitted = false;
};

}  // namespace zavsvc
