// CZipWriter::AddSources (AddFiles and AddFilesAs of CZipArchiver): the next files are read and
// compressed on worker threads while the calling thread writes finished data in archive order.
// Every worker packs a file exactly as AddFile does (CSourcePacker: the same choice of libdeflate
// or zlib, the same chunks), so the archive is byte-identical to the one AddFile calls write one
// after another, whatever the number of threads. AddFilesAs runs the same pipeline with the entry
// names given by the caller and the rules of OpenEntryForWriting on a source opened first (a
// refused file writes nothing).
#include <algorithm>
#include <condition_variable>
#include <deque>
#include <exception>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "zip/zip_writer.h"

namespace {

constexpr size_t kMaxFilesAhead = 64;
// Output written between two progress calls.
constexpr size_t kProgressBytes = size_t{1} << 20;

struct PackJob {
    enum Status { kWaiting, kRefused, kOpenFailed, kRunning, kDone, kFailed };
    Status status = kWaiting;
    CZipEntryHeader header;
    std::deque<CZipBuffer> pieces;  // compressed data not yet written
    SZipPacked packed;              // CRC, sizes and read failure, once kDone
    bool bOpened = false;           // header read and source open
    std::exception_ptr error;       // kFailed
};

class CPackPipeline {
public:
    CPackPipeline(const std::vector<SZipSource>& sources, int iLevel, uint32_t nChunkSize,
                  size_t nWholeLimit, size_t nLookAheadBytes, bool bOpenFirst)
        : m_sources(sources),
          m_jobs(sources.size()),  // each job is made when a worker takes it
          m_iLevel(iLevel),
          m_nChunkSize(nChunkSize),
          m_nWholeLimit(nWholeLimit),
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
        WaitForJob(lock, k, [&] { return m_jobs[k] && m_jobs[k]->status != PackJob::kWaiting; });
        return m_jobs[k]->status;
    }
    PackJob& Job(size_t k) {
        std::lock_guard lock(m_mutex);
        return *m_jobs[k];
    }

    // Next piece of job k into piece; false when the job has no more (done or failed).
    bool NextPiece(size_t k, CZipBuffer& piece) {
        std::unique_lock lock(m_mutex);
        PackJob& job = *m_jobs[k];
        WaitForJob(lock, k, [&] {
            return !job.pieces.empty() || job.status == PackJob::kDone ||
                   job.status == PackJob::kFailed;
        });
        if (job.pieces.empty())
            return false;
        piece = std::move(job.pieces.front());
        job.pieces.pop_front();
        m_nInFlight -= piece.Size();
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
    // The writer waits for news of job k; workers wake it only for that job.
    template <typename Ready>
    void WaitForJob(std::unique_lock<std::mutex>& lock, size_t k, Ready ready) {
        m_nWriterWaitsFor = k;
        m_writerCv.wait(lock, ready);
        m_nWriterWaitsFor = kNobody;
    }
    // With m_mutex held.
    void WakeWriterFor(size_t k) {
        if (m_nWriterWaitsFor == k)
            m_writerCv.notify_one();
    }

    void WorkerLoop() {
        CSourcePacker packer(m_iLevel, m_nChunkSize, m_nWholeLimit);
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
                Pack(k, packer);
            } catch (...) {
                std::lock_guard lock(m_mutex);
                m_jobs[k]->error = std::current_exception();
                m_jobs[k]->status = PackJob::kFailed;
                WakeWriterFor(k);
            }
        }
    }

    void SetStatus(size_t k, PackJob::Status status) {
        std::lock_guard lock(m_mutex);
        m_jobs[k]->status = status;
        WakeWriterFor(k);
    }

    // Memory for the buffers of a whole file: a job that is not being written waits while the
    // look-ahead budget is used up. The entry being written is not held back and not counted
    // (nBytes becomes 0): it is the one memory beside the budget. False when the pipeline stops.
    bool Reserve(size_t k, size_t& nBytes) {
        std::unique_lock lock(m_mutex);
        m_workerCv.wait(lock, [&] {
            return m_bStop || k == m_nHead || m_nInFlight + m_nReserved + nBytes <= m_nBudget;
        });
        if (m_bStop)
            return false;
        if (k == m_nHead)
            nBytes = 0;
        m_nReserved += nBytes;
        return true;
    }
    void Unreserve(size_t& nBytes) {
        if (nBytes == 0)
            return;
        {
            std::lock_guard lock(m_mutex);
            m_nReserved -= nBytes;
        }
        nBytes = 0;
        m_workerCv.notify_all();
    }

    // Hands an output piece to the writer (woken unless bQuiet: the end of the job follows at
    // once); a job that is not being written then waits while the look-ahead budget is used up.
    bool Deliver(size_t k, CZipBuffer&& piece, bool bQuiet) {
        std::unique_lock lock(m_mutex);
        m_nInFlight += piece.Size();
        m_jobs[k]->pieces.push_back(std::move(piece));
        if (!bQuiet)
            WakeWriterFor(k);
        m_workerCv.wait(lock, [&] { return m_bStop || k == m_nHead || m_nInFlight <= m_nBudget; });
        return !m_bStop;
    }

    void Pack(size_t k, CSourcePacker& packer) {
        PackJob& job = *m_jobs[k];
        CZipEntryHeader header;
        CZipSourceFile source;
        uint64_t nSize = 0;
        switch (OpenPackSource(m_sources[k].strPath, m_bOpenFirst, header, source, nSize)) {
            case EPackSource::kRefused:
                SetStatus(k, PackJob::kRefused);
                return;
            case EPackSource::kOpenFailed: {
                std::lock_guard lock(m_mutex);
                job.header = header;
                job.status = PackJob::kOpenFailed;
                WakeWriterFor(k);
                return;
            }
            case EPackSource::kOpened:
                break;
        }
        {
            // The writer needs the data too: it is woken when that comes.
            std::lock_guard lock(m_mutex);
            job.header = header;
            job.bOpened = true;
            job.status = PackJob::kRunning;
        }

        size_t nReserved = packer.WholeBytes(nSize);
        bool bWhole = nReserved > 0;
        if (bWhole && !Reserve(k, nReserved))
            return;
        // Given back when the output arrives (the buffers are gone then) or on the way out.
        struct SUnreserve {
            CPackPipeline& pipeline;
            size_t& nBytes;
            ~SUnreserve() { pipeline.Unreserve(nBytes); }
        } unreserve{*this, nReserved};
        SZipPacked packed;
        const bool bGoing = packer.Pack(
            source, nSize,
            [&](CZipBuffer&& piece) {
                // A whole file's one piece: its end follows at once.
                const bool bQuiet = std::exchange(bWhole, false);
                Unreserve(nReserved);
                return Deliver(k, std::move(piece), bQuiet);
            },
            packed);
        if (!bGoing)
            return;
        std::lock_guard lock(m_mutex);
        job.packed = packed;
        job.status = PackJob::kDone;
        WakeWriterFor(k);
    }

    const std::vector<SZipSource>& m_sources;
    std::vector<std::unique_ptr<PackJob>> m_jobs;
    const int m_iLevel;
    const uint32_t m_nChunkSize;
    const size_t m_nWholeLimit;
    const size_t m_nBudget;
    const bool m_bOpenFirst;
    std::mutex m_mutex;
    std::condition_variable m_workerCv;
    std::condition_variable m_writerCv;
    size_t m_nNext = 0;
    size_t m_nHead = 0;
    size_t m_nInFlight = 0;  // compressed bytes waiting for the writer
    size_t m_nReserved = 0;  // buffers of whole files being compressed
    static constexpr size_t kNobody = ~size_t{0};
    size_t m_nWriterWaitsFor = kNobody;
    bool m_bStop = false;
    std::vector<std::thread> m_workers;
};

}  // namespace

size_t CZipWriter::AddSources(const std::vector<SZipSource>& sources, int iLevel,
                              uint32_t nChunkSize, unsigned nThreads, size_t nLookAheadBytes,
                              const std::function<void()>& fnProgress, bool bAsAddFile) {
    if (sources.empty())
        return 0;
    if (nChunkSize == 0 || !CanBegin())
        throw SZipRefusal{SZipRefusal::kStoppedAt, 0};
    if (nThreads == 0)
        nThreads = DefaultPackThreads();
    if (nLookAheadBytes == 0)
        nLookAheadBytes = DefaultLookAheadBytes(nThreads);
    CPackPipeline pipeline(sources, iLevel, nChunkSize, m_nWholeLimit, nLookAheadBytes,
                           !bAsAddFile);
    pipeline.Start(nThreads);
    CZipBuffer piece;
    for (size_t k = 0; k < sources.size(); ++k) {
        if (fnProgress)
            fnProgress();
        const std::string& strName = sources[k].strName;
        if ((bAsAddFile && strName.empty()) || !CanBegin())
            throw SZipRefusal{SZipRefusal::kStoppedAt, k};
        const PackJob::Status status = pipeline.WaitStatus(k);
        if (status == PackJob::kRefused)
            throw SZipRefusal{SZipRefusal::kStoppedAt, k};
        PackJob& job = pipeline.Job(k);
        if (status == PackJob::kFailed && !job.bOpened)
            std::rethrow_exception(job.error);  // failed before anything could be written
        CZipEntryHeader header = job.header;
        header.SetFileName(strName);
        try {
            if (status == PackJob::kOpenFailed) {
                // As AddFile: the entry is opened, then the source cannot be read.
                BeginEntry(header, iLevel, 0, true);
                throw SZipRefusal{};
            }
            BeginEntry(header, iLevel, 0, false);
        } catch (const SZipRefusal&) {
            throw SZipRefusal{SZipRefusal::kStoppedAt, k};
        }
        size_t nSinceProgress = 0;
        while (pipeline.NextPiece(k, piece)) {
            // A large piece goes out in slices, so that progress keeps coming.
            for (size_t nDone = 0; nDone < piece.Size();) {
                const size_t nSlice = std::min(piece.Size() - nDone, kProgressBytes);
                m_file.Write(piece.Data() + nDone, nSlice);
                nDone += nSlice;
                nSinceProgress += nSlice;
                if (fnProgress && nSinceProgress >= kProgressBytes) {
                    fnProgress();
                    nSinceProgress = 0;
                }
            }
        }
        if (pipeline.WaitStatus(k) == PackJob::kFailed)
            std::rethrow_exception(job.error);  // the entry stays open: Close() refuses it
        FinishEntry(job.packed.uCrc, job.packed.nIn, job.packed.nOut);
        if (job.packed.nReadError != 0)
            throw CFileException(job.packed.nReadError, sources[k].strPath);
        pipeline.Advance(k);
    }
    return sources.size();
}
