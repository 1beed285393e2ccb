// CZipReader::ExtractAll: the calling thread reads the archive in order (headers, data
// descriptors, the compressed data of each file that fits the whole limit) while worker threads
// inflate those files and write them, each to its own target. Large entries, and entries
// libdeflate declines, are extracted by the calling thread through zlib.
//
// Entries are written out of order but take effect in order. A file goes straight to its target
// when nothing is there, otherwise to a temporary name beside it; entry i is committed (its
// waiting file renamed over the target, a folder entry made) only after every entry before it
// was. After a failure at entry k, what k and the entries after it wrote is removed: their new
// files, their temporary files and the folders made for them. The files they would have
// replaced are never touched, so the destination holds exactly entries 0 to k-1.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <exception>
#include <limits>
#include <mutex>
#include <random>
#include <thread>
#include <unordered_set>
#include <vector>

#include "platform/file_attributes.h"
#include "zip/zip_reader.h"

namespace {

constexpr size_t kNoFailure = std::numeric_limits<size_t>::max();

bool IsKeySeparator(char c) {
    return c == '/' || (kWindowsFileSystem && c == '\\');
}

// The path of strStored with "." and empty parts dropped and ".." applied: two entries with the
// same key land on the same file. Windows does not tell letter cases apart (ASCII folded).
std::string TargetKey(const std::string& strStored) {
    std::vector<std::string> parts;
    size_t nPos = 0;
    while (nPos <= strStored.size()) {
        size_t nEnd = nPos;
        while (nEnd < strStored.size() && !IsKeySeparator(strStored[nEnd]))
            ++nEnd;
        std::string strPart = strStored.substr(nPos, nEnd - nPos);
        if (kWindowsFileSystem) {
            for (char& c : strPart) {
                if (c >= 'A' && c <= 'Z')
                    c = static_cast<char>(c - 'A' + 'a');
            }
        }
        if (strPart == "..") {
            if (!parts.empty())
                parts.pop_back();
        } else if (!strPart.empty() && strPart != ".") {
            parts.push_back(strPart);
        }
        nPos = nEnd + 1;
    }
    std::string strKey;
    for (const std::string& strPart : parts)
        strKey += (strKey.empty() ? "" : "/") + strPart;
    return strKey;
}

// The start of the temporary names of one extraction, ".zav-XXXXXXXX-": a word that no entry
// name contains, so no temporary name is ever an entry's target.
std::string TemporaryPrefix(const CZipDirectory& directory) {
    // Unpredictable enough for names that are checked against the entries and made with
    // O_EXCL; the system's random source may be missing (and then throw) on some platforms.
    std::mt19937 random(
        static_cast<uint32_t>(std::chrono::system_clock::now().time_since_epoch().count()) ^
        static_cast<uint32_t>(std::chrono::steady_clock::now().time_since_epoch().count() >> 7) ^
        static_cast<uint32_t>(reinterpret_cast<uintptr_t>(&directory)));
    while (true) {
        char szWord[16];
        std::snprintf(szWord, sizeof(szWord), "%08x", static_cast<unsigned>(random()));
        const bool bTaken = std::any_of(
            directory.m_entries.begin(), directory.m_entries.end(), [&](const auto& pEntry) {
                return pEntry->GetFileName().find(szWord) != std::string::npos;
            });
        if (!bTaken)
            return std::string(".zav-") + szWord + "-";
    }
}

struct SExtractJob {
    uint16_t uIndex = 0;
    int64_t tModified = 0;  // the entry's time, made on the reading thread
    CZipBuffer compressed;
};

// What the extraction did for one entry.
struct SEntrySlot {
    enum EState : uint8_t { kPending, kReady, kCommitted };
    EState eState = kPending;
    bool bCreated = false;                    // its file was made new at its target
    std::string strWaiting;                   // otherwise the temporary file it waits in
    std::vector<std::string> createdFolders;  // folders made for its file
};

class CExtractPipeline {
public:
    CExtractPipeline(const CZipDirectory& directory, const std::vector<std::string>& targets,
                     const std::string& strArchive, size_t nBudget)
        : m_directory(directory),
          m_targets(targets),
          m_strArchive(strArchive),
          m_nBudget(nBudget),
          m_strTemporary(TemporaryPrefix(directory)),
          m_slots(directory.Count()) {}

    // No workers: every job runs on the calling thread (RunHere).
    void Start(unsigned nThreads) {
        for (unsigned i = 0; i < nThreads; ++i)
            m_workers.emplace_back([this] { WorkerLoop(); });
    }
    ~CExtractPipeline() {
        Finish();
        Discard();
    }

    // Queues a job; waits while the look-ahead budget is used up (never with an empty queue).
    // While it waits, and after it queued the job, this thread commits what is in turn.
    void Push(SExtractJob&& job) {
        const size_t nBytes = Cost(job);
        std::unique_lock lock(m_mutex);
        while (m_nInFlight != 0 && m_nInFlight + nBytes > m_nBudget &&
               m_nFirstFailure == kNoFailure) {
            if (!AdvanceLocked(lock, true))
                m_readerCv.wait(lock);
        }
        m_nInFlight += nBytes;
        m_queue.push_back(std::move(job));
        m_workerCv.notify_one();
        AdvanceLocked(lock, true);
    }

    // Commits every entry in turn (after the workers finished: all that are ready).
    void CommitReady() {
        std::unique_lock lock(m_mutex);
        AdvanceLocked(lock, true);
    }

    // Inflates and writes job on this thread. False when libdeflate declined it.
    bool RunHere(const SExtractJob& job) {
        const EOutcome eOutcome = Extract(job, m_inflater, m_plain);
        if (eOutcome == EOutcome::kWritten)
            Ready(job.uIndex);
        else if (eOutcome == EOutcome::kRefused)
            Fail(job.uIndex, nullptr);
        return eOutcome != EOutcome::kDeclined;
    }

    // Opens the file entry uIndex is written to: a new file at its target when nothing is
    // there (with the folders it needs), otherwise a temporary file beside the target.
    void OpenPlaced(size_t uIndex, CZipTargetFile& target) {
        SEntrySlot& slot = m_slots[uIndex];
        const std::string& strTarget = m_targets[uIndex];
        int nError = target.CreateNew(strTarget);
        if (nError == ENOENT) {
            CreateFolderPath(ParentFolder(strTarget), &slot.createdFolders);
            nError = target.CreateNew(strTarget);
        }
        if (nError == 0) {
            slot.bCreated = true;
            return;
        }
        if (nError != EEXIST)
            throw CFileException(nError, strTarget);
        const std::string strWaiting =
            ParentFolder(strTarget) + m_strTemporary + std::to_string(uIndex);
        nError = target.CreateNew(strWaiting);
        if (nError != 0)
            throw CFileException(nError, strWaiting);
        slot.strWaiting = strWaiting;
    }

    // Entry uIndex is written (a folder entry: may be made). Commits every entry now in turn.
    void Ready(size_t uIndex) {
        std::unique_lock lock(m_mutex);
        m_slots[uIndex].eState = SEntrySlot::kReady;
        AdvanceLocked(lock, true);
    }

    // Records that entry uIndex failed (with error, or refused when null).
    void Fail(size_t uIndex, std::exception_ptr error) {
        std::lock_guard lock(m_mutex);
        RecordFailure(uIndex, std::move(error));
    }
    size_t FirstFailure() {
        std::lock_guard lock(m_mutex);
        return m_nFirstFailure;
    }
    std::exception_ptr Error() {
        std::lock_guard lock(m_mutex);
        return m_error;
    }

    // Lets the workers finish what is queued and waits for them.
    void Finish() {
        {
            std::lock_guard lock(m_mutex);
            m_bNoMore = true;
        }
        m_workerCv.notify_all();
        for (auto& t : m_workers)
            t.join();
        m_workers.clear();
    }
    // Entries libdeflate declined, in order.
    std::vector<uint16_t> Declined() {
        std::sort(m_declined.begin(), m_declined.end());
        return m_declined;
    }

    // After Finish: removes what every entry that was not committed left behind.
    void Discard() noexcept {
        std::unordered_set<std::string> keep;  // folder entries that stay
        std::vector<std::string> folders;
        for (size_t i = 0; i < m_slots.size(); ++i) {
            SEntrySlot& slot = m_slots[i];
            if (slot.eState == SEntrySlot::kCommitted) {
                if (m_directory.m_entries[i]->IsDirectory())
                    keep.insert(TargetKey(m_targets[i]));
                continue;
            }
            if (!slot.strWaiting.empty())
                RemoveFile(slot.strWaiting);
            if (slot.bCreated)
                RemoveFile(m_targets[i]);
            slot.strWaiting.clear();
            slot.bCreated = false;
            folders.insert(folders.end(), slot.createdFolders.begin(), slot.createdFolders.end());
            slot.createdFolders.clear();
        }
        // Inner folders first; one that still holds anything stays.
        std::sort(folders.begin(), folders.end(),
                  [](const std::string& a, const std::string& b) { return a.size() > b.size(); });
        for (const std::string& strFolder : folders) {
            if (!keep.count(TargetKey(strFolder)))
                RemoveEmptyFolder(strFolder);
        }
    }

private:
    size_t Cost(const SExtractJob& job) const {
        return job.compressed.Size() + m_directory.m_entries[job.uIndex]->m_uUncomprSize;
    }

    // With m_mutex held.
    void RecordFailure(size_t uIndex, std::exception_ptr error) {
        if (uIndex < m_nFirstFailure) {
            m_nFirstFailure = uIndex;
            m_error = std::move(error);
        }
        m_readerCv.notify_all();
    }

    // Takes m_nCommitted past every entry in turn, with m_mutex held by lock. Entries whose
    // commit is a call into the system (a rename, a folder) are committed only with
    // bMayCommit, by the reading thread, with the lock released meanwhile: the renames of an
    // extraction over an existing tree then run beside the workers instead of holding one of
    // them. True when it committed such an entry.
    bool AdvanceLocked(std::unique_lock<std::mutex>& lock, bool bMayCommit) {
        if (m_bCommitting)
            return false;  // the reading thread is committing one; it goes on after it
        bool bCommitted = false;
        while (m_nCommitted < m_slots.size() && m_nCommitted < m_nFirstFailure &&
               m_slots[m_nCommitted].eState == SEntrySlot::kReady) {
            const size_t i = m_nCommitted;
            if (NeedsCommit(i)) {
                if (!bMayCommit) {
                    m_readerCv.notify_all();
                    break;
                }
                m_bCommitting = true;
                lock.unlock();
                std::exception_ptr error;
                try {
                    Commit(i);
                } catch (...) {
                    error = std::current_exception();
                }
                lock.lock();
                m_bCommitting = false;
                bCommitted = true;
                if (error) {
                    RecordFailure(i, error);
                    break;
                }
            }
            m_slots[i].eState = SEntrySlot::kCommitted;
            ++m_nCommitted;
        }
        return bCommitted;
    }

    // A new file at its target takes effect as it is; a waiting file and a folder entry do
    // something in their turn.
    bool NeedsCommit(size_t i) const {
        return !m_slots[i].strWaiting.empty() || m_directory.m_entries[i]->IsDirectory();
    }

    // Makes entry i take effect; throws CFileException.
    void Commit(size_t i) {
        const std::string& strTarget = m_targets[i];
        if (m_directory.m_entries[i]->IsDirectory()) {
            MakeFileReplaceable(strTarget);
            CreateFolderPath(strTarget);
            return;
        }
        SEntrySlot& slot = m_slots[i];
        if (slot.strWaiting.empty())
            return;
        const int nError = RenameOver(slot.strWaiting, strTarget);
        if (nError != 0)
            throw CFileException(nError, strTarget);
        slot.strWaiting.clear();
    }

    void WorkerLoop() {
        CWholeInflater inflater;
        CZipBuffer plain;
        while (true) {
            SExtractJob job;
            bool bSkip = false;
            {
                std::unique_lock lock(m_mutex);
                m_workerCv.wait(lock, [&] { return m_bNoMore || !m_queue.empty(); });
                if (m_queue.empty())
                    return;
                job = std::move(m_queue.front());
                m_queue.pop_front();
                // Entries after a failure need not be written any more.
                bSkip = m_nFirstFailure < job.uIndex;
            }
            const size_t nBytes = Cost(job);
            EOutcome eOutcome = EOutcome::kSkipped;
            std::exception_ptr error;
            try {
                if (!bSkip)
                    eOutcome = Extract(job, inflater, plain);
            } catch (...) {
                eOutcome = EOutcome::kRefused;
                error = std::current_exception();
            }
            if (plain.Capacity() > kZipKeepBufferBytes)
                plain = CZipBuffer();
            job.compressed = CZipBuffer();
            {
                std::unique_lock lock(m_mutex);
                m_nInFlight -= nBytes;
                if (eOutcome == EOutcome::kDeclined)
                    m_declined.push_back(job.uIndex);
                else if (eOutcome == EOutcome::kRefused)
                    RecordFailure(job.uIndex, error);
                else if (eOutcome == EOutcome::kWritten) {
                    m_slots[job.uIndex].eState = SEntrySlot::kReady;
                    AdvanceLocked(lock, false);
                }
            }
            m_readerCv.notify_all();
        }
    }

    enum class EOutcome { kWritten, kRefused, kDeclined, kSkipped };
    // Inflates and writes the entry of job; kDeclined, with nothing written, when libdeflate
    // declines its data.
    EOutcome Extract(const SExtractJob& job, CWholeInflater& inflater, CZipBuffer& plain) {
        const CZipEntryHeader& entry = *m_directory.m_entries[job.uIndex];
        const uint8_t* pData = nullptr;
        if (!InflateWholeEntry(inflater, entry, job.compressed, plain, &pData))
            return EOutcome::kDeclined;
        CZipTargetFile target;
        OpenPlaced(job.uIndex, target);
        return WriteExtractedFile(entry, target, pData, entry.m_uUncomprSize, job.tModified,
                                  m_strArchive)
                   ? EOutcome::kWritten
                   : EOutcome::kRefused;
    }

    const CZipDirectory& m_directory;
    const std::vector<std::string>& m_targets;
    const std::string m_strArchive;
    const size_t m_nBudget;
    const std::string m_strTemporary;
    std::mutex m_mutex;
    std::condition_variable m_workerCv;
    std::condition_variable m_readerCv;
    std::deque<SExtractJob> m_queue;
    size_t m_nInFlight = 0;  // compressed and uncompressed bytes of queued and running jobs
    bool m_bNoMore = false;
    size_t m_nFirstFailure = kNoFailure;
    std::exception_ptr m_error;
    std::vector<uint16_t> m_declined;
    std::vector<SEntrySlot> m_slots;
    size_t m_nCommitted = 0;  // entries 0 to m_nCommitted - 1 have taken effect
    bool m_bCommitting = false;
    CWholeInflater m_inflater;  // RunHere's
    CZipBuffer m_plain;
    std::vector<std::thread> m_workers;
};

// True when two entries of the archive would write the same file, or one needs a folder where
// another puts a file: such archives are extracted one entry after another.
bool TargetsOverlap(const CZipDirectory& directory) {
    std::unordered_set<std::string> files;
    std::unordered_set<std::string> folders;
    for (const auto& pEntry : directory.m_entries) {
        std::string strKey = TargetKey(StoredName(pEntry->GetFileName(), true));
        if (pEntry->IsDirectory()) {
            folders.insert(strKey);
        } else if (!files.insert(strKey).second) {
            return true;
        }
        // Every folder above it; one already known has its own above it too.
        for (size_t nSlash = strKey.rfind('/'); nSlash != std::string::npos && nSlash > 0;
             nSlash = strKey.rfind('/', nSlash - 1)) {
            if (!folders.insert(strKey.substr(0, nSlash)).second)
                break;
        }
    }
    for (const std::string& strFile : files) {
        if (folders.count(strFile))
            return true;
    }
    return false;
}

}  // namespace

size_t CZipReader::ExtractAll(const std::string& strFolder, unsigned nThreads,
                              size_t nLookAheadBytes) {
    const size_t nCount = m_directory.Count();
    if (m_bEntryOpen)
        throw SZipRefusal{SZipRefusal::kStoppedAt, 0};
    // Every entry is judged before anything is written.
    std::vector<std::string> targets(nCount);
    for (size_t i = 0; i < nCount; ++i) {
        const CZipEntryHeader& header = *m_directory.m_entries[i];
        const std::string strName = header.GetFileName();
        if (!IsSafeEntryName(strName, true) || header.IsEncrypted())
            throw SZipRefusal{SZipRefusal::kStoppedAt, i};
        const std::string strStored = StoredName(strName, true);
        if (!header.IsDirectory() && !HasFileName(strStored))
            throw SZipRefusal{SZipRefusal::kStoppedAt, i};
        targets[i] = ExtractTarget(strFolder, strStored);
    }
    // The whole archive must fit: a large entry would otherwise fill the disk and fail there.
    if (!HasRoomFor(strFolder, DeclaredSizeOf(m_directory)))
        throw CFileException(ENOSPC, strFolder.empty() ? std::string(".") : strFolder);
    if (nCount == 0)
        return 0;
    if (nThreads == 0)
        nThreads = DefaultPackThreads();
    // One thread, or entries that share a target: every entry is finished before the next.
    if (nThreads < 2 || nCount < 2 || TargetsOverlap(m_directory))
        nThreads = 0;
    const size_t nDone = ExtractInOrder(
        targets, nThreads, nLookAheadBytes ? nLookAheadBytes : DefaultLookAheadBytes(nThreads));
    if (nDone != nCount)
        throw SZipRefusal{SZipRefusal::kStoppedAt, nDone};
    return nDone;
}

size_t CZipReader::ExtractInOrder(const std::vector<std::string>& targets, unsigned nThreads,
                                  size_t nLookAheadBytes) {
    const size_t nCount = m_directory.Count();
    CExtractPipeline pipeline(m_directory, targets, m_file.GetFilePath(), nLookAheadBytes);
    pipeline.Start(nThreads);
    // Through zlib on this thread, into the file the pipeline places.
    auto extractStreamed = [&](uint16_t uIndex) {
        if (ExtractStreamed(
                uIndex, [&](CZipTargetFile& target) { pipeline.OpenPlaced(uIndex, target); },
                CZipArchiver::kDefaultChunkSize))
            pipeline.Ready(uIndex);
        else
            pipeline.Fail(uIndex, nullptr);
    };
    for (size_t i = 0; i < nCount && pipeline.FirstFailure() == kNoFailure; ++i) {
        const auto uIndex = static_cast<uint16_t>(i);
        const CZipEntryHeader& entry = *m_directory.m_entries[i];
        try {
            if (entry.IsDirectory()) {
                pipeline.Ready(i);  // made in its turn
            } else if (FitsWhole(entry)) {
                SExtractJob job;
                job.uIndex = uIndex;
                job.tModified = entry.GetTime();
                ReadWholeEntry(uIndex, job.compressed);
                if (nThreads > 0)
                    pipeline.Push(std::move(job));
                else if (!pipeline.RunHere(job))
                    extractStreamed(uIndex);
            } else {
                extractStreamed(uIndex);
            }
        } catch (...) {
            pipeline.Fail(i, std::current_exception());
            AbandonEntry();  // entries declined before it are still to be extracted
        }
    }
    pipeline.Finish();
    pipeline.CommitReady();
    for (uint16_t uIndex : pipeline.Declined()) {
        if (uIndex > pipeline.FirstFailure())
            break;
        try {
            extractStreamed(uIndex);
        } catch (...) {
            pipeline.Fail(uIndex, std::current_exception());
            AbandonEntry();
        }
    }
    pipeline.CommitReady();
    const size_t nFailed = pipeline.FirstFailure();
    pipeline.Discard();
    // Folders get their permissions after the files, which they may have had to take in.
    for (size_t i = 0; i < nCount && i < nFailed; ++i) {
        const CZipEntryHeader& entry = *m_directory.m_entries[i];
        if (!entry.IsDirectory())
            continue;
        std::string strTarget = targets[i];
        while (strTarget.size() > 1 && strTarget.back() == '/')
            strTarget.pop_back();
        SetPathMode(strTarget, PermissionsFromExternalAttributes(
                                   entry.m_uExternalAttr, entry.m_uVersionMadeBy >> 8, true));
    }
    if (nFailed == kNoFailure)
        return nCount;
    if (std::exception_ptr error = pipeline.Error())
        std::rethrow_exception(error);
    return nFailed;
}
