#include "zip/zip_archiver.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include "platform/file_attributes.h"
#include "zip/zip_archiver_impl.h"
#include "zip/zip_names.h"
#include "zip/zip_reader.h"
#include "zip/zip_writer.h"

namespace {

constexpr unsigned kMaxDefaultThreads = 16;

// Takes a regular file's time and attribute word into header. False for anything that is not
// a regular file, and for 4 GiB or more: sizes and offsets are 32-bit, so a source or an
// archive that would pass that limit is refused rather than written with wrapped fields.
bool TakeSourceStatus(CZipEntryHeader& header, const SZipFileStatus& status) {
    if (!status.bRegular || status.nSize >= 0xFFFFFFFFULL)
        return false;
    header.SetTime(status.tModified);
    header.m_uExternalAttr = status.uDosAttributes;
    return true;
}

}  // namespace

unsigned DefaultPackThreads() {
    return std::clamp(std::thread::hardware_concurrency(), 1u, kMaxDefaultThreads);
}

size_t DefaultLookAheadBytes(unsigned nThreads) {
    return std::max(1u, nThreads) * (size_t{8} << 20);
}

EPackSource OpenPackSource(const std::string& strPath, bool bOpenFirst, CZipEntryHeader& header,
                           CZipSourceFile& source, uint64_t& nSize) {
    if (bOpenFirst) {
        SZipFileStatus status;
        if (!source.Open(strPath, true) || !source.ReadStatus(status) ||
            !TakeSourceStatus(header, status))
            return EPackSource::kRefused;
        nSize = status.nSize;
        return EPackSource::kOpened;
    }
    if (!ReadSourceStatus(header, strPath, &nSize))
        return EPackSource::kRefused;
    return source.Open(strPath, false) ? EPackSource::kOpened : EPackSource::kOpenFailed;
}

voidpf SZipStream::Alloc(voidpf pOpaque, uInt nItems, uInt nSize) {
    auto* pStream = static_cast<SZipStream*>(pOpaque);
    size_t nBytes = static_cast<size_t>(nItems) * nSize;
    void* pBlock = std::malloc(nBytes ? nBytes : 1);
    if (pBlock == nullptr)
        return Z_NULL;
    try {
        pStream->blocks.push_back(pBlock);
    } catch (const std::bad_alloc&) {
        std::free(pBlock);
        return Z_NULL;
    }
    return pBlock;
}

void SZipStream::Free(voidpf pOpaque, voidpf pBlock) {
    auto* pStream = static_cast<SZipStream*>(pOpaque);
    auto it = std::find(pStream->blocks.rbegin(), pStream->blocks.rend(), pBlock);
    if (it != pStream->blocks.rend())
        pStream->blocks.erase(std::next(it).base());
    std::free(pBlock);
}

void SZipStream::Prepare() {
    stream = z_stream{};
    stream.zalloc = &SZipStream::Alloc;
    stream.zfree = &SZipStream::Free;
    stream.opaque = this;
}

void SZipStream::FreeBlocks() {
    for (void* pBlock : blocks)
        std::free(pBlock);
    blocks.clear();
    bActive = false;
}

bool ReadSourceStatus(CZipEntryHeader& header, const std::string& strPath, uint64_t* pSize) {
    SZipFileStatus status;
    if (!ReadFileStatus(strPath, status) || !TakeSourceStatus(header, status))
        return false;
    if (pSize)
        *pSize = status.nSize;
    return true;
}

uint64_t DeclaredSizeOf(const CZipDirectory& directory) {
    uint64_t nTotal = 0;
    for (const auto& pEntry : directory.m_entries) {
        if (!pEntry->IsDirectory())
            nTotal += pEntry->m_uUncomprSize;
    }
    return nTotal;
}

// The archive's face: each call goes to the writer or the reader of the open archive, and
// their refusals (SZipRefusal) become the results documented in zip_archiver.h.

namespace {

// True when fn did what was asked, false when the writer or the reader refused it.
template <class F>
bool Done(F&& fn) {
    try {
        fn();
        return true;
    } catch (const SZipRefusal&) {
        return false;
    }
}

}  // namespace

CZipArchiver::CZipArchiver() = default;

CZipArchiver::~CZipArchiver() {
    m_file.Abandon();
}

void CZipArchiver::Open(const std::string& strPath, ZipOpenMode mode) {
    if (m_file.IsOpen())
        return;
    if (mode == ZipOpenMode::ReadWrite)
        ZipException(kZipGenericError, strPath);
    m_pWriter.reset();
    m_pReader.reset();
    const bool bCreate = mode == ZipOpenMode::Create;
    m_file.Open(strPath, bCreate ? CZipBigFile::kCreateReadWrite : CZipBigFile::kReadOnly);
    m_directory.Reset();
    if (bCreate) {
        m_pWriter = std::make_unique<CZipWriter>(m_file, m_directory, m_nWholeLimit);
    } else {
        m_directory.ReadDirectory(m_file, strPath);
        m_pReader = std::make_unique<CZipReader>(m_file, m_directory, m_nWholeLimit);
    }
}

void CZipArchiver::Close() {
    if (!m_file.IsOpen())
        return;
    if (m_pReader)
        m_pReader->Finish();
    if (m_pWriter)
        m_pWriter->Finish();
    m_directory.Reset();
    m_pReader.reset();
    m_pWriter.reset();
    m_file.Close();
}

int CZipArchiver::EntryCount() const {
    return static_cast<int>(m_directory.Count());
}

uint64_t CZipArchiver::DeclaredSize() const {
    return DeclaredSizeOf(m_directory);
}

bool CZipArchiver::GetFileInfo(uint16_t uIndex, CZipEntryHeader& header) const {
    if (uIndex >= m_directory.Count())
        return false;
    header = *m_directory.m_entries[uIndex];
    return true;
}

CZipArchiver::EntryState CZipArchiver::GetEntryState() const {
    if (m_pWriter && m_pWriter->EntryOpen())
        return kAdding;
    if (m_pReader && m_pReader->EntryOpen())
        return kExtracting;
    return kNone;
}

bool CZipArchiver::AddFile(const std::string& strPath, int iLevel, bool bKeepPath,
                           uint32_t nChunkSize) {
    return m_pWriter && Done([&] { m_pWriter->AddFile(strPath, iLevel, bKeepPath, nChunkSize); });
}

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
    if (!m_pWriter)
        return 0;
    try {
        return m_pWriter->AddSources(sources, iLevel, nChunkSize, nThreads, nLookAheadBytes,
                                     fnProgress, bAsAddFile);
    } catch (const SZipRefusal& refusal) {
        return refusal.nAt;
    }
}

bool CZipArchiver::OpenEntryForWriting(CZipEntryHeader& header, int iLevel,
                                       const std::string& strPath) {
    return m_pWriter && Done([&] { m_pWriter->OpenEntry(header, iLevel, strPath); });
}

bool CZipArchiver::WriteEntryData(const void* pData, uint32_t nSize) {
    return m_pWriter && Done([&] { m_pWriter->WriteData(pData, nSize); });
}

bool CZipArchiver::CloseEntryForWriting() {
    return m_pWriter && Done([&] { m_pWriter->CloseEntry(); });
}

bool CZipArchiver::OpenEntryForReading(uint16_t uIndex) {
    return m_pReader && Done([&] { m_pReader->OpenEntry(uIndex); });
}

uint32_t CZipArchiver::ReadEntryData(void* pBuffer, uint32_t nSize) {
    return m_pReader ? m_pReader->ReadData(pBuffer, nSize) : 0;
}

int CZipArchiver::CloseEntryForReading() {
    return CloseEntryForReading(std::string());
}

int CZipArchiver::CloseEntryForReading(const std::string& strPath) {
    if (!m_pReader || !m_pReader->EntryOpen())
        return 0;
    try {
        m_pReader->CloseEntry(strPath);
        return 1;
    } catch (const SZipRefusal& refusal) {
        switch (refusal.eWhy) {
            case SZipRefusal::kNotReadToEnd:
                return -1;
            case SZipRefusal::kModeNotSet:
                return -2;
            default:
                return 0;
        }
    }
}

bool CZipArchiver::ExtractEntry(uint16_t uIndex, const std::string& strFolder, bool bKeepPath,
                                uint32_t nChunkSize) {
    return m_pReader &&
           Done([&] { m_pReader->ExtractEntry(uIndex, strFolder, bKeepPath, nChunkSize); });
}

size_t CZipArchiver::ExtractAll(const std::string& strFolder, unsigned nThreads,
                                size_t nLookAheadBytes) {
    if (!m_pReader)
        return 0;
    try {
        return m_pReader->ExtractAll(strFolder, nThreads, nLookAheadBytes);
    } catch (const SZipRefusal& refusal) {
        return refusal.nAt;
    }
}

bool CZipArchiver::TestEntry(uint16_t uIndex) {
    return m_pReader && Done([&] { m_pReader->TestEntry(uIndex); });
}

bool CZipArchiver::TestArchive(int* pFailedIndex) {
    for (int i = 0; i < EntryCount(); ++i) {
        if (!TestEntry(static_cast<uint16_t>(i))) {
            if (pFailedIndex)
                *pFailedIndex = i;
            return false;
        }
    }
    return true;
}
