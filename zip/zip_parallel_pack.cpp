// CZipArchiver::AddFiles: the next files are read and compressed on worker threads while the
// calling thread writes finished data in archive order. Every worker repeats exactly the zlib
// calls of AddFile (same input chunks, same 16384-byte output steps), so the archive is
// byte-identical to the one AddFile calls write one after another.
// AddFilesAs runs the same pipeline with the entry names given by the caller and the rules of
// OpenEntryForWriting on a source opened first (a refused file writes nothing).
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <deque>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

#include "zip/zip_archiver.h"
#include "zip/zip_archiver_impl.h"

namespace {

constexpr size_t kMaxFilesAhead = 64;

struct PackJob {
    enum Status { kWaiting, kRefused, kOpenFailed, kRunning, kDone, kFailed };
    Status status = kWaiting;
    CZipEntryHeader header;
    std::deque<std::vector<uint8_t>> pieces;  // compressed data not yet written
    uint32_t uCrc = 0;
    uint64_t nTotalIn = 0;
    uint64_t nTotalOut = 0;
    bool bOpened = false;    // header read and source open: the writer begins the entry
    bool bFinished = false;  // failed reading the source; crc and sizes cover what was read
    std::exception_ptr error;
};

// Ends a deflate stream that was started, on every path out.
struct CDeflateGuard {
    z_stream* p = nullptr;
    CDeflateGuard() = default;
    CDeflateGuard(const CDeflateGuard&) = delete;
    CDeflateGuard& operator=(const CDeflateGuard&) = delete;
    ~CDeflateGuard() {
        if (p)
            deflateEnd(p);
    }
};

class CPackPipeline {
public:
    CPackPipeline(const std::vector<SZipSource>& sources, int iLevel, uint32_t nChunkSize,
                  size_t nLookAheadBytes, bool bOpenFirst)
        : m_sources(sources),
          m_jobs(sources.size()),  // each job is made when a worker takes it
          m_iLevel(iLevel),
          m_nChunkSize(nChunkSize),
          m_nBudget(nLookAheadBytes),
          m_bOpenFirst(bOpenFirst) {}

    void Start(unsigned nThreads) {
        for (unsigned i = 0; i < nThreads; ++i)
            m_workers.emplace_back([this] { WorkerLoop(); });
    }
    ~CPackPipeline() {
        {
            std::lock_guard lock(m_mutex);
            m_bStop = true;
        }
        m_workerCv.notify_all();
        for (auto& t : m_workers)
            t.join();
    }

    // Waits until job k has its status read; returns the status.
    PackJob::Status WaitStatus(size_t k) {
        std::unique_lock lock(m_mutex);
        m_writerCv.wait(lock, [&] { return m_jobs[k] && m_jobs[k]->status != PackJob::kWaiting; });
        return m_jobs[k]->status;
    }
    PackJob& Job(size_t k) {
        std::lock_guard lock(m_mutex);
        return *m_jobs[k];
    }

    // Next piece of job k into piece; false when the job has no more (done or failed).
    bool NextPiece(size_t k, std::vector<uint8_t>& piece) {
        std::unique_lock lock(m_mutex);
        PackJob& job = *m_jobs[k];
        m_writerCv.wait(lock, [&] {
            return !job.pieces.empty() || job.status == PackJob::kDone ||
                   job.status == PackJob::kFailed;
        });
        if (job.pieces.empty())
            return false;
        piece = std::move(job.pieces.front());
        job.pieces.pop_front();
        m_nInFlight -= piece.size();
        lock.unlock();
        m_workerCv.notify_all();
        return true;
    }

    // Job k is written: the next one becomes the head.
    void Advance(size_t k) {
        {
            std::lock_guard lock(m_mutex);
            m_jobs[k].reset();  // written: its memory goes back
            m_nHead = k + 1;
        }
        m_workerCv.notify_all();
    }

private:
    void WorkerLoop() {
        std::vector<uint8_t> chunk(m_nChunkSize);
        while (true) {
            size_t k;
            {
                std::unique_lock lock(m_mutex);
                m_workerCv.wait(lock, [&] {
                    return m_bStop ||
                           (m_nNext < m_jobs.size() && m_nNext < m_nHead + kMaxFilesAhead);
                });
                if (m_bStop)
                    return;
                k = m_nNext++;
                m_jobs[k] = std::make_unique<PackJob>();
            }
            try {
                Compress(k, chunk);
            } catch (...) {
                std::lock_guard lock(m_mutex);
                m_jobs[k]->error = std::current_exception();
                m_jobs[k]->status = PackJob::kFailed;
            }
            m_writerCv.notify_all();
        }
    }

    void SetStatus(size_t k, PackJob::Status status) {
        {
            std::lock_guard lock(m_mutex);
            m_jobs[k]->status = status;
        }
        m_writerCv.notify_all();
    }

    // Hands a full or final output piece to the writer; a job that is not being written
    // waits while the look-ahead budget is used up.
    bool Deliver(size_t k, std::vector<uint8_t>&& piece) {
        std::unique_lock lock(m_mutex);
        m_nInFlight += piece.size();
        m_jobs[k]->pieces.push_back(std::move(piece));
        m_writerCv.notify_all();
        m_workerCv.wait(lock, [&] { return m_bStop || k == m_nHead || m_nInFlight <= m_nBudget; });
        return !m_bStop;
    }

    // Opens the source of job k and reads its header fields; -1 after setting a refusal.
    int OpenSource(size_t k, CZipEntryHeader& header) {
        const std::string& strPath = m_sources[k].strPath;
        if (m_bOpenFirst) {
            // As a caller of OpenEntryForWriting that opens the source before anything else.
            int nFd = ::open(strPath.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
            struct stat st {};
            if (nFd >= 0 && (::fstat(nFd, &st) != 0 || !S_ISREG(st.st_mode) ||
                             !ReadSourceStatus(header, strPath))) {
                ::close(nFd);
                nFd = -1;
            }
            if (nFd < 0)
                SetStatus(k, PackJob::kRefused);
            return nFd;
        }
        // As AddFile: the status first, then the source (whose entry AddFile has begun).
        if (!ReadSourceStatus(header, strPath)) {
            SetStatus(k, PackJob::kRefused);
            return -1;
        }
        int nFd = ::open(strPath.c_str(), O_RDONLY | O_CLOEXEC);
        if (nFd < 0) {
            {
                std::lock_guard lock(m_mutex);
                m_jobs[k]->header = header;
            }
            SetStatus(k, PackJob::kOpenFailed);
        }
        return nFd;
    }

    void Compress(size_t k, std::vector<uint8_t>& chunk) {
        PackJob& job = *m_jobs[k];
        const std::string& strPath = m_sources[k].strPath;
        CZipEntryHeader header;
        const int nFd = OpenSource(k, header);
        if (nFd < 0)
            return;
        struct FdCloser {
            int n;
            ~FdCloser() { ::close(n); }
        } closer{nFd};
        {
            std::lock_guard lock(m_mutex);
            job.header = header;
            job.bOpened = true;
        }
        SetStatus(k, PackJob::kRunning);

        const bool bDeflate = m_iLevel != 0;
        z_stream zs{};
        CDeflateGuard guard;
        if (bDeflate) {
            int iResult =
                deflateInit2(&zs, m_iLevel, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY);
            if (iResult != Z_OK)
                ZipException(iResult, std::string());
            guard.p = &zs;
        }
        std::vector<uint8_t> out(CZipArchiver::kTransferBufferSize);
        zs.next_out = out.data();
        zs.avail_out = static_cast<uInt>(out.size());
        uint32_t uCrc = 0;
        uint64_t nIn = 0, nOut = 0;
        auto flush = [&]() {
            size_t nFill = out.size() - zs.avail_out;
            if (nFill == 0)
                return true;
            std::vector<uint8_t> piece(out.begin(), out.begin() + static_cast<ptrdiff_t>(nFill));
            zs.next_out = out.data();
            zs.avail_out = static_cast<uInt>(out.size());
            return Deliver(k, std::move(piece));
        };
        // A read failure ends the data here: the entry is finished with what came before it,
        // as closing the archive after a failed AddFile finishes it, and the failure reported.
        std::exception_ptr readError;
        while (true) {
            size_t nRead = 0;
            while (nRead < m_nChunkSize) {
                ssize_t n = ::read(nFd, chunk.data() + nRead, m_nChunkSize - nRead);
                if (n < 0 && errno == EINTR)
                    continue;
                if (n < 0) {
                    readError = std::make_exception_ptr(CFileException(errno, strPath));
                    nRead = 0;
                    break;
                }
                if (n == 0)
                    break;
                nRead += static_cast<size_t>(n);
            }
            if (nRead > 0) {
                uCrc = static_cast<uint32_t>(crc32(uCrc, chunk.data(), static_cast<uInt>(nRead)));
                zs.next_in = chunk.data();
                zs.avail_in = static_cast<uInt>(nRead);
                while (zs.avail_in > 0) {
                    if (zs.avail_out == 0 && !flush())
                        return;
                    if (bDeflate) {
                        int iResult = deflate(&zs, Z_NO_FLUSH);
                        if (iResult != Z_OK)
                            ZipException(iResult, std::string());
                    } else {
                        uInt nCopy = std::min(zs.avail_in, zs.avail_out);
                        std::copy_n(zs.next_in, nCopy, zs.next_out);
                        zs.next_in += nCopy;
                        zs.avail_in -= nCopy;
                        zs.next_out += nCopy;
                        zs.avail_out -= nCopy;
                        nIn += nCopy;
                        nOut += nCopy;
                    }
                }
            }
            if (nRead < m_nChunkSize || readError)
                break;
        }
        if (bDeflate) {
            int iResult;
            do {
                if (zs.avail_out == 0 && !flush())
                    return;
                iResult = deflate(&zs, Z_FINISH);
            } while (iResult == Z_OK);
            if (iResult != Z_STREAM_END)
                ZipException(iResult, std::string());
            nIn = zs.total_in;
            nOut = zs.total_out;
        }
        if (!flush())
            return;
        {
            std::lock_guard lock(m_mutex);
            job.uCrc = uCrc;
            job.nTotalIn = nIn;
            job.nTotalOut = nOut;
            if (readError) {
                job.error = readError;
                job.bFinished = true;
                job.status = PackJob::kFailed;
            } else {
                job.status = PackJob::kDone;
            }
        }
    }

    const std::vector<SZipSource>& m_sources;
    std::vector<std::unique_ptr<PackJob>> m_jobs;
    const int m_iLevel;
    const uint32_t m_nChunkSize;
    const size_t m_nBudget;
    const bool m_bOpenFirst;
    std::mutex m_mutex;
    std::condition_variable m_workerCv;
    std::condition_variable m_writerCv;
    size_t m_nNext = 0;
    size_t m_nHead = 0;
    size_t m_nInFlight = 0;
    bool m_bStop = false;
    std::vector<std::thread> m_workers;
};

// Output pieces written between two progress calls (16 KiB each: about 1 MiB).
constexpr size_t kPiecesPerProgress = 64;

}  // namespace

size_t CZipArchiver::AddFiles(const std::vector<std::string>& strPaths, int iLevel, bool bKeepPath,
                              uint32_t nChunkSize, unsigned nThreads, size_t nLookAheadBytes) {
    std::vector<SZipSource> sources;
    sources.reserve(strPaths.size());
    for (const std::string& strPath : strPaths)
        sources.push_back({strPath, StoredName(strPath, bKeepPath)});
    return AddSources(sources, iLevel, nChunkSize, nThreads, nLookAheadBytes, {}, true);
}

size_t CZipArchiver::AddFilesAs(const std::vector<SZipSource>& sources, int iLevel,
                                uint32_t nChunkSize, unsigned nThreads, size_t nLookAheadBytes,
                                const std::function<void()>& fnProgress) {
    return AddSources(sources, iLevel, nChunkSize, nThreads, nLookAheadBytes, fnProgress, false);
}

size_t CZipArchiver::AddSources(const std::vector<SZipSource>& sources, int iLevel,
                                uint32_t nChunkSize, unsigned nThreads, size_t nLookAheadBytes,
                                const std::function<void()>& fnProgress, bool bAsAddFile) {
    if (nChunkSize == 0 || sources.empty() || !CanBeginEntry())
        return 0;
    CPackPipeline pipeline(sources, iLevel, nChunkSize, nLookAheadBytes, !bAsAddFile);
    pipeline.Start(std::max(1u, nThreads));
    std::vector<uint8_t> piece;
    for (size_t k = 0; k < sources.size(); ++k) {
        if (fnProgress)
            fnProgress();
        const std::string& strName = sources[k].strName;
        if ((bAsAddFile && strName.empty()) || !CanBeginEntry())
            return k;
        const PackJob::Status status = pipeline.WaitStatus(k);
        if (status == PackJob::kRefused)
            return k;
        PackJob& job = pipeline.Job(k);
        if (status == PackJob::kFailed && !job.bOpened)
            std::rethrow_exception(job.error);  // failed before anything could be written
        CZipEntryHeader header = job.header;
        header.SetFileName(strName);
        if (status == PackJob::kOpenFailed) {
            // As AddFile: the entry is opened, then the source cannot be read.
            BeginEntry(header, iLevel, true);
            return k;
        }
        if (!BeginEntry(header, iLevel, false))
            return k;
        size_t nPieces = 0;
        while (pipeline.NextPiece(k, piece)) {
            m_file.Write(piece.data(), piece.size());
            if (fnProgress && ++nPieces % kPiecesPerProgress == 0)
                fnProgress();
        }
        if (pipeline.WaitStatus(k) == PackJob::kFailed) {
            if (job.bFinished)
                FinishEntry(job.uCrc, job.nTotalIn, job.nTotalOut);
            std::rethrow_exception(job.error);
        }
        FinishEntry(job.uCrc, job.nTotalIn, job.nTotalOut);
        pipeline.Advance(k);
    }
    return sources.size();
}
