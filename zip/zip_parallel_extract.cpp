// CZipArchiver::ExtractAll: the calling thread reads the archive in order (headers, data
// descriptors, the compressed data of each file that fits the whole limit) while worker threads
// inflate those files and write them, each to its own target. Large entries, and entries
// libdeflate declines, are extracted by the calling thread through zlib.
#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <deque>
#include <exception>
#include <limits>
#include <mutex>
#include <thread>
#include <unordered_set>
#include <vector>

#include "platform/file_attributes.h"
#include "zip/zip_archiver.h"
#include "zip/zip_archiver_impl.h"

namespace {

constexpr size_t kNoFailure = std::numeric_limits<size_t>::max();

// The path of strStored with "." and empty parts dropped and ".." applied: two entries with the
// same key land on the same file.
std::string TargetKey(const std::string& strStored) {
    std::vector<std::string> parts;
    size_t nPos = 0;
    while (nPos <= strStored.size()) {
        size_t nEnd = strStored.find('/', nPos);
        if (nEnd == std::string::npos)
            nEnd = strStored.size();
        const std::string strPart = strStored.substr(nPos, nEnd - nPos);
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

struct SExtractJob {
    uint16_t uIndex = 0;
    int64_t tModified = 0;  // the entry's time, made on the reading thread
    CZipBuffer compressed;
};

class CExtractPipeline {
public:
    CExtractPipeline(const CZipDirectory& directory, const std::vector<std::string>& targets,
                     const std::string& strArchive, size_t nBudget)
        : m_directory(directory),
          m_targets(targets),
          m_strArchive(strArchive),
          m_nBudget(nBudget) {}

    void Start(unsigned nThreads) {
        for (unsigned i = 0; i < nThreads; ++i)
            m_workers.emplace_back([this] { WorkerLoop(); });
    }
    ~CExtractPipeline() { Finish(); }

    // Queues a job; waits while the look-ahead budget is used up (never with an empty queue).
    void Push(SExtractJob&& job) {
        const size_t nBytes = Cost(job);
        std::unique_lock lock(m_mutex);
        m_readerCv.wait(lock, [&] {
            return m_nInFlight == 0 || m_nInFlight + nBytes <= m_nBudget ||
                   m_nFirstFailure != kNoFailure;
        });
        m_nInFlight += nBytes;
        m_queue.push_back(std::move(job));
        m_workerCv.notify_one();
    }

    // Records that entry uIndex failed (with error, or refused when null).
    void Fail(size_t uIndex, std::exception_ptr error) {
        std::lock_guard lock(m_mutex);
        if (uIndex < m_nFirstFailure) {
            m_nFirstFailure = uIndex;
            m_error = std::move(error);
        }
        m_readerCv.notify_all();
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

private:
    size_t Cost(const SExtractJob& job) const {
        return job.compressed.Size() + m_directory.m_entries[job.uIndex]->m_uUncomprSize;
    }

    void WorkerLoop() {
        CWholeInflater inflater;
        CZipBuffer plain;
        while (true) {
            SExtractJob job;
            {
                std::unique_lock lock(m_mutex);
                m_workerCv.wait(lock, [&] { return m_bNoMore || !m_queue.empty(); });
                if (m_queue.empty())
                    return;
                job = std::move(m_queue.front());
                m_queue.pop_front();
            }
            const size_t nBytes = Cost(job);
            try {
                Extract(job, inflater, plain);
            } catch (...) {
                Fail(job.uIndex, std::current_exception());
            }
            if (plain.Capacity() > kZipKeepBufferBytes)
                plain = CZipBuffer();
            job.compressed = CZipBuffer();
            {
                std::lock_guard lock(m_mutex);
                m_nInFlight -= nBytes;
            }
            m_readerCv.notify_all();
        }
    }

    void Extract(const SExtractJob& job, CWholeInflater& inflater, CZipBuffer& plain) {
        // Entries after a failure need not be written any more.
        if (FirstFailure() < job.uIndex)
            return;
        const CZipEntryHeader& entry = *m_directory.m_entries[job.uIndex];
        const uint8_t* pData = nullptr;
        if (!InflateWholeEntry(inflater, entry, job.compressed, plain, &pData)) {
            std::lock_guard lock(m_mutex);
            m_declined.push_back(job.uIndex);
            return;
        }
        if (!WriteExtractedFile(entry, m_targets[job.uIndex], pData, entry.m_uUncomprSize,
                                job.tModified, m_strArchive))
            Fail(job.uIndex, nullptr);
    }

    const CZipDirectory& m_directory;
    const std::vector<std::string>& m_targets;
    const std::string m_strArchive;
    const size_t m_nBudget;
    std::mutex m_mutex;
    std::condition_variable m_workerCv;
    std::condition_variable m_readerCv;
    std::deque<SExtractJob> m_queue;
    size_t m_nInFlight = 0;  // compressed and uncompressed bytes of queued and running jobs
    bool m_bNoMore = false;
    size_t m_nFirstFailure = kNoFailure;
    std::exception_ptr m_error;
    std::vector<uint16_t> m_declined;
    std::vector<std::thread> m_workers;
};

// True when two entries of the archive would write the same file, or one needs a folder where
// another puts a file: such archives are extracted in order.
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

size_t CZipArchiver::ExtractAll(const std::string& strFolder, unsigned nThreads,
                                size_t nLookAheadBytes) {
    const size_t nCount = m_directory.Count();
    if (m_entryState != kNone)
        return 0;
    // Every entry is judged before anything is written.
    std::vector<std::string> targets(nCount);
    for (size_t i = 0; i < nCount; ++i) {
        const CZipEntryHeader& header = *m_directory.m_entries[i];
        const std::string strName = header.GetFileName();
        if (!IsSafeEntryName(strName, true) || header.IsEncrypted())
            return i;
        const std::string strStored = StoredName(strName, true);
        if (!header.IsDirectory() && !HasFileName(strStored))
            return i;
        targets[i] = ExtractTarget(strFolder, strStored);
    }
    // The whole archive must fit: a large entry would otherwise fill the disk and fail there.
    if (!HasRoomFor(strFolder, DeclaredSize()))
        throw CFileException(ENOSPC, strFolder.empty() ? std::string(".") : strFolder);
    if (nThreads == 0)
        nThreads = DefaultPackThreads();
    if (nThreads > 1 && nCount > 1 && !TargetsOverlap(m_directory))
        return ExtractInParallel(
            targets, nThreads, nLookAheadBytes ? nLookAheadBytes : DefaultLookAheadBytes(nThreads));
    for (size_t i = 0; i < nCount; ++i) {
        if (!ExtractEntry(static_cast<uint16_t>(i), strFolder))
            return i;
    }
    return nCount;
}

size_t CZipArchiver::ExtractInParallel(const std::vector<std::string>& targets, unsigned nThreads,
                                       size_t nLookAheadBytes) {
    const size_t nCount = m_directory.Count();
    CExtractPipeline pipeline(m_directory, targets, GetArchivePath(), nLookAheadBytes);
    pipeline.Start(nThreads);
    std::vector<size_t> folders;
    for (size_t i = 0; i < nCount && pipeline.FirstFailure() == kNoFailure; ++i) {
        const auto uIndex = static_cast<uint16_t>(i);
        const CZipEntryHeader& entry = *m_directory.m_entries[i];
        try {
            if (entry.IsDirectory()) {
                // Its permissions come after the files, which it may have to take in first.
                MakeFileReplaceable(targets[i]);
                CreateFolderPath(targets[i]);
                folders.push_back(i);
            } else if (FitsWhole(entry)) {
                SExtractJob job;
                job.uIndex = uIndex;
                job.tModified = entry.GetTime();
                ReadWholeEntry(uIndex, job.compressed);
                pipeline.Push(std::move(job));
            } else if (!ExtractStreamed(uIndex, targets[i], kDefaultChunkSize)) {
                pipeline.Fail(i, nullptr);
            }
        } catch (...) {
            pipeline.Fail(i, std::current_exception());
            AbandonEntry();  // entries declined before it are still to be extracted
        }
    }
    pipeline.Finish();
    for (uint16_t uIndex : pipeline.Declined()) {
        if (uIndex > pipeline.FirstFailure())
            break;
        try {
            if (!ExtractStreamed(uIndex, targets[uIndex], kDefaultChunkSize))
                pipeline.Fail(uIndex, nullptr);
        } catch (...) {
            pipeline.Fail(uIndex, std::current_exception());
            AbandonEntry();
        }
    }
    const size_t nFailed = pipeline.FirstFailure();
    for (size_t i : folders) {
        if (i > nFailed)
            break;
        std::string strTarget = targets[i];
        while (strTarget.size() > 1 && strTarget.back() == '/')
            strTarget.pop_back();
        const CZipEntryHeader& entry = *m_directory.m_entries[i];
        SetPathMode(strTarget, PermissionsFromExternalAttributes(
                                   entry.m_uExternalAttr, entry.m_uVersionMadeBy >> 8, true));
    }
    if (nFailed == kNoFailure)
        return nCount;
    if (std::exception_ptr error = pipeline.Error())
        std::rethrow_exception(error);
    return nFailed;
}
