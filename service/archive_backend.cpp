#include "service/archive_backend.h"

#include <fcntl.h>
#include <openssl/rand.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unordered_map>
#include <unordered_set>

namespace zavsvc {
namespace {

std::string Hex(std::string_view bytes) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string str;
    for (unsigned char c : bytes) {
        str += kHex[c >> 4];
        str += kHex[c & 0x0F];
    }
    return str;
}

size_t CategoryIndex(const SCategory& category) {
    return static_cast<size_t>(&category - Categories().data());
}

// ---- files under the data folder ----

class CFileReader : public IArchiveReader {
public:
    CFileReader(int fd, int64_t nSize) : m_fd(fd), m_nSize(nSize) {}
    ~CFileReader() override { ::close(m_fd); }
    int64_t Size() const override { return m_nSize; }
    bool Send(size_t nOffset, size_t nLength,
              const std::function<bool(const char*, size_t)>& fnWrite) override {
        char ach[64 * 1024];
        const size_t nWant = nLength < sizeof ach ? nLength : sizeof ach;
        const ssize_t n = ::pread(m_fd, ach, nWant, static_cast<off_t>(nOffset));
        return n > 0 && fnWrite(ach, static_cast<size_t>(n));
    }

private:
    int m_fd;
    int64_t m_nSize;
};

class CFileArchives : public IArchiveStore {
public:
    CFileArchives(CArchiveStore& files, CMemberStore& members, NowFn fnNowMs)
        : m_files(files), m_members(members), m_fnNowMs(std::move(fnNowMs)) {}

    bool Prepare(std::string* pStrError) override {
        m_files.RecoverInterruptedCommits();
        // Counted once here; commits and removals move it from then on.
        if (!m_members.SetStored(m_files.TotalStored())) {
            *pStrError = "cannot write the stored total";
            return false;
        }
        return true;
    }

    EStoreResult Sizes(std::string_view id, std::array<int64_t, 4>& rSizes) override {
        for (const auto& category : Categories()) {
            rSizes[CategoryIndex(category)] = m_files.ArchiveSize(id, category);
        }
        return EStoreResult::Ok;
    }

    EStoreResult Commit(std::string_view id, const std::string& strToken, CUploadStage& stage,
                        const SCommitLimits& limits, std::string_view lastUpload) override {
        std::lock_guard lock(m_files.CommitMutex());
        // The limit holds for what the member keeps: the archives this upload leaves in place
        // and the ones it brings.
        int64_t nKept = 0, nReplaced = 0, nNew = 0;
        for (const auto& category : Categories()) {
            (stage.Holds(category) ? nReplaced : nKept) += m_files.ArchiveSize(id, category);
        }
        for (const auto& part : stage.Parts()) {
            nNew += part.pFile->Size();
        }
        if (nKept + nNew > limits.nUploadLimit) {
            return EStoreResult::OverLimit;
        }
        const int64_t nDelta = nNew - nReplaced;
        int64_t nStored = 0, nReserved = 0;
        if (limits.nCapacityLimit > 0) {
            if (!m_members.Totals(m_fnNowMs(), nStored, nReserved)) {
                return EStoreResult::Unavailable;
            }
            if (nStored + nDelta > limits.nCapacityLimit) {
                return EStoreResult::Full;
            }
        }
        // The lease must still be the upload's: renewing it tells.
        if (!m_members.RenewUploadLease(id, strToken, m_fnNowMs() + kUploadLeaseMs)) {
            return EStoreResult::LeaseLost;
        }
        std::string strError;
        if (!m_files.Commit(id, stage, &strError)) {
            std::fprintf(stderr, "zav-service: %s\n", strError.c_str());
            return EStoreResult::Failed;
        }
        if (!m_members.AddStored(nDelta) || !m_members.SetLastUpload(id, lastUpload)) {
            std::fprintf(stderr, "zav-service: cannot record the upload of %s in the database\n",
                         std::string(id).c_str());
        }
        return EStoreResult::Ok;
    }

    EStoreResult RemoveAll(std::string_view id) override {
        std::lock_guard lock(m_files.CommitMutex());
        std::array<int64_t, 4> before{}, after{};
        Sizes(id, before);
        const bool bRemoved = m_files.RemoveAll(id);
        Sizes(id, after);
        int64_t nDelta = 0;
        for (size_t i = 0; i < before.size(); ++i) {
            nDelta += after[i] - before[i];
        }
        m_members.AddStored(nDelta);
        if (!bRemoved) {
            return EStoreResult::Failed;
        }
        return m_members.SetLastUpload(id, "") ? EStoreResult::Ok : EStoreResult::Unavailable;
    }

    EStoreResult Open(std::string_view id, const SCategory& category,
                      std::unique_ptr<IArchiveReader>& rOut) override {
        // The open descriptor keeps serving this archive even if an upload replaces it.
        const int fd = ::open(m_files.ArchivePath(id, category).c_str(), O_RDONLY | O_CLOEXEC);
        struct stat st {};
        if (fd < 0 || ::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
            if (fd >= 0) {
                ::close(fd);
            }
            return EStoreResult::NotFound;
        }
        rOut = std::make_unique<CFileReader>(fd, st.st_size);
        return EStoreResult::Ok;
    }

    bool OnLocalDisk() const override { return true; }

private:
    CArchiveStore& m_files;
    CMemberStore& m_members;
    NowFn m_fnNowMs;
};

// ---- objects in an S3-compatible store ----

class CS3Reader : public IArchiveReader {
public:
    CS3Reader(std::unique_ptr<CS3Download> pDownload, int64_t nSize)
        : m_pDownload(std::move(pDownload)), m_nSize(nSize) {}
    int64_t Size() const override { return m_nSize; }
    // The object arrives in order: every piece goes out as it comes, whatever the offset asked
    // (the writer asks from where the last call ended).
    bool Send(size_t, size_t, const std::function<bool(const char*, size_t)>& fnWrite) override {
        if (!m_pDownload->Pump(fnWrite)) {
            std::fprintf(stderr, "zav-service: a download from the store broke off\n");
            return false;
        }
        return true;
    }

private:
    std::unique_ptr<CS3Download> m_pDownload;
    int64_t m_nSize;
};

class CS3Archives : public IArchiveStore {
public:
    CS3Archives(std::unique_ptr<CS3Client> pClient, CMemberStore& members, NowFn fnNowMs,
                int64_t nGraceMs)
        : m_pClient(std::move(pClient)),
          m_members(members),
          m_fnNowMs(std::move(fnNowMs)),
          m_nGraceMs(nGraceMs) {}

    bool Prepare(std::string* pStrError) override { return m_pClient->CheckBucket(pStrError); }

    EStoreResult Sizes(std::string_view id, std::array<int64_t, 4>& rSizes) override {
        std::vector<SArchiveRow> vecRows;
        if (!m_members.Archives(id, vecRows)) {
            return EStoreResult::Unavailable;
        }
        rSizes.fill(0);
        for (const auto& category : Categories()) {
            for (const auto& row : vecRows) {
                if (row.strCategory == category.pszName) {
                    rSizes[CategoryIndex(category)] = row.nSize;
                }
            }
        }
        return EStoreResult::Ok;
    }

    EStoreResult Commit(std::string_view id, const std::string& strToken, CUploadStage& stage,
                        const SCommitLimits& limits, std::string_view lastUpload) override {
        // A first look at the limit spares the store an upload the database would refuse.
        std::array<int64_t, 4> sizes{};
        if (Sizes(id, sizes) != EStoreResult::Ok) {
            return EStoreResult::Unavailable;
        }
        int64_t nKeptAndNew = 0;
        for (const auto& category : Categories()) {
            nKeptAndNew += stage.Holds(category) ? 0 : sizes[CategoryIndex(category)];
        }
        for (const auto& part : stage.Parts()) {
            nKeptAndNew += part.pFile->Size();
        }
        if (nKeptAndNew > limits.nUploadLimit) {
            return EStoreResult::OverLimit;
        }
        // New keys for every archive: nothing a member has stored is overwritten, and until
        // the transaction below the old set is the member's whole.
        std::vector<SArchiveRow> vecRows;
        for (const auto& part : stage.Parts()) {
            const std::string strKey =
                ObjectKey(m_pClient->Location(), id, strToken, *part.pCategory);
            std::string strError;
            if (!m_pClient->PutFile(strKey, part.pFile->Path(), part.pFile->Sha256(), &strError)) {
                std::fprintf(stderr, "zav-service: store: %s\n", strError.c_str());
                DeleteObjects(vecRows);
                return EStoreResult::Unavailable;
            }
            vecRows.push_back({part.pCategory->pszName, strKey, part.pFile->Size()});
        }
        const auto eCommit =
            m_members.CommitArchives(id, strToken, vecRows, limits.nUploadLimit,
                                     limits.nCapacityLimit, lastUpload, m_fnNowMs());
        if (eCommit != CMemberStore::ECommit::Committed) {
            DeleteObjects(vecRows);
        }
        switch (eCommit) {
            case CMemberStore::ECommit::Committed:
                return EStoreResult::Ok;
            case CMemberStore::ECommit::OverLimit:
                return EStoreResult::OverLimit;
            case CMemberStore::ECommit::Full:
                return EStoreResult::Full;
            case CMemberStore::ECommit::LeaseLost:
                return EStoreResult::LeaseLost;
            case CMemberStore::ECommit::StoreFailed:
                break;
        }
        return EStoreResult::Unavailable;
    }

    EStoreResult RemoveAll(std::string_view id) override {
        std::vector<std::string> vecRetired;
        if (!m_members.RemoveArchives(id, m_fnNowMs(), vecRetired)) {
            return EStoreResult::Unavailable;
        }
        // The member's archives are gone with the transaction; their objects go now, or with
        // the sweep when the store does not answer.
        for (const auto& strKey : vecRetired) {
            std::string strError;
            if (m_pClient->Delete(strKey, &strError)) {
                m_members.ForgetRetired(strKey);
            }
        }
        return EStoreResult::Ok;
    }

    EStoreResult Open(std::string_view id, const SCategory& category,
                      std::unique_ptr<IArchiveReader>& rOut) override {
        std::vector<SArchiveRow> vecRows;
        if (!m_members.Archives(id, vecRows)) {
            return EStoreResult::Unavailable;
        }
        for (const auto& row : vecRows) {
            if (row.strCategory != category.pszName) {
                continue;
            }
            std::string strError;
            auto pDownload = m_pClient->Get(row.strKey, &strError);
            if (!pDownload) {
                std::fprintf(stderr, "zav-service: store: %s\n", strError.c_str());
                return EStoreResult::Unavailable;
            }
            if (pDownload->Status() == 404) {
                std::fprintf(stderr, "zav-service: store: %s is missing\n", row.strKey.c_str());
                return EStoreResult::NotFound;
            }
            if (pDownload->Status() != 200) {
                std::fprintf(stderr, "zav-service: store: GET %s: HTTP %d\n", row.strKey.c_str(),
                             pDownload->Status());
                return EStoreResult::Unavailable;
            }
            if (pDownload->Length() != row.nSize) {
                std::fprintf(stderr, "zav-service: store: %s has %lld bytes, not %lld\n",
                             row.strKey.c_str(), static_cast<long long>(pDownload->Length()),
                             static_cast<long long>(row.nSize));
                return EStoreResult::Failed;
            }
            rOut = std::make_unique<CS3Reader>(std::move(pDownload), row.nSize);
            return EStoreResult::Ok;
        }
        return EStoreResult::NotFound;
    }

    void Sweep() override {
        const int64_t nNow = m_fnNowMs();
        std::vector<SS3Object> vecObjects;
        std::vector<std::string> vecNamed, vecLive;
        std::vector<std::pair<std::string, int64_t>> vecRetired;
        std::string strError;
        // The listing comes first: an object put after it is not looked at, and a row made
        // after the rows were read names an object the listing had already.
        if (!m_pClient->List(m_pClient->Location().strPrefix + "u/", vecObjects, &strError) ||
            !m_members.LiveLeaseTokens(nNow, vecLive) || !m_members.NamedKeys(vecNamed) ||
            !m_members.RetiredKeys(vecRetired)) {
            std::fprintf(stderr, "zav-service: sweep: %s\n",
                         strError.empty() ? "the database cannot be read" : strError.c_str());
            return;
        }
        const std::unordered_set<std::string> setNamed(vecNamed.begin(), vecNamed.end());
        const std::unordered_set<std::string> setLive(vecLive.begin(), vecLive.end());
        std::unordered_map<std::string, int64_t> mapRetired(vecRetired.begin(), vecRetired.end());
        std::unordered_set<std::string> setListed;
        size_t nDeleted = 0;
        for (const auto& object : vecObjects) {
            setListed.insert(object.strKey);
            if (setNamed.count(object.strKey) != 0) {
                continue;
            }
            // PREFIX u/ID/TOKEN/NAME: the token tells the upload and when it began.
            const std::string strRest =
                object.strKey.substr(m_pClient->Location().strPrefix.size() + 2);
            const size_t nSlash = strRest.find('/');
            const size_t nEnd =
                nSlash == std::string::npos ? nSlash : strRest.find('/', nSlash + 1);
            const std::string strToken =
                nEnd == std::string::npos ? "" : strRest.substr(nSlash + 1, nEnd - nSlash - 1);
            if (setLive.count(strToken) != 0) {
                continue;  // an upload in progress
            }
            auto it = mapRetired.find(object.strKey);
            const int64_t nSince =
                it != mapRetired.end() ? it->second : std::atoll(strToken.c_str());
            if (nNow - nSince < m_nGraceMs) {
                continue;
            }
            if (m_pClient->Delete(object.strKey, &strError)) {
                ++nDeleted;
                if (it != mapRetired.end()) {
                    m_members.ForgetRetired(object.strKey);
                }
            }
        }
        // Rows of objects that are gone already.
        for (const auto& [strKey, nSince] : mapRetired) {
            if (setListed.count(strKey) == 0 && setNamed.count(strKey) == 0) {
                m_members.ForgetRetired(strKey);
            }
        }
        if (nDeleted > 0) {
            std::fprintf(stderr, "zav-service: sweep: %zu objects deleted\n", nDeleted);
        }
    }

    bool OnLocalDisk() const override { return false; }

private:
    void DeleteObjects(const std::vector<SArchiveRow>& vecRows) {
        for (const auto& row : vecRows) {
            std::string strError;
            m_pClient->Delete(row.strKey, &strError);  // else the sweep takes it
        }
    }

    std::unique_ptr<CS3Client> m_pClient;
    CMemberStore& m_members;
    NowFn m_fnNowMs;
    const int64_t m_nGraceMs;
};

}  // namespace

std::unique_ptr<IArchiveStore> MakeFileArchives(CArchiveStore& files, CMemberStore& members,
                                                NowFn fnNowMs) {
    return std::make_unique<CFileArchives>(files, members, std::move(fnNowMs));
}

std::unique_ptr<IArchiveStore> MakeS3Archives(std::unique_ptr<CS3Client> pClient,
                                              CMemberStore& members, NowFn fnNowMs,
                                              int64_t nGraceMs) {
    return std::make_unique<CS3Archives>(std::move(pClient), members, std::move(fnNowMs), nGraceMs);
}

std::string NewUploadToken(int64_t nNowMs) {
    unsigned char ach[8] = {};
    if (RAND_bytes(ach, sizeof ach) != 1) {
        // Unique still within this process: the time and a counter.
        static std::atomic<uint64_t> s_nCounter{0};
        const uint64_t n = ++s_nCounter;
        std::memcpy(ach, &n, sizeof ach);
    }
    char szTime[24];
    std::snprintf(szTime, sizeof szTime, "%013lld", static_cast<long long>(nNowMs));
    return std::string(szTime) + "-" +
           Hex(std::string_view(reinterpret_cast<const char*>(ach), sizeof ach));
}

std::string ObjectKey(const SS3Location& location, std::string_view id, const std::string& strToken,
                      const SCategory& category) {
    return location.strPrefix + "u/" + Hex(id) + "/" + strToken + "/" + category.pszArchive;
}

}  // namespace zavsvc
