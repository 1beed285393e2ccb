#include "zip/zip_directory.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <string_view>
#include <vector>

#include "platform/codepage.h"
#include "zip/zip_bytes.h"
#include "zip/zip_exception.h"
#include "zip/zip_names.h"

namespace {

// The UTF-8 name of the Unicode path extra field (id 0x7075) that some Unix tools add beside
// a name stored without bit 11. It counts only when it was made for these very name bytes
// (its CRC-32 of the stored name matches) and is valid UTF-8.
bool FindUnicodePath(const CZipByteBuffer& extra, const uint8_t* pName, size_t nNameSize,
                     std::string& strName) {
    const uint8_t* p = extra.Data();
    size_t nLeft = extra.Size();
    while (nLeft >= 4) {
        const uint16_t uId = GetU16(p);
        const uint16_t uSize = GetU16(p + 2);
        if (uSize > nLeft - 4)
            return false;
        if (uId == 0x7075 && uSize >= 5 && p[4] == 1 &&
            GetU32(p + 5) == crc32(0, pName, static_cast<uInt>(nNameSize))) {
            strName = DecodeStoredName(p + 9, uSize - 5u, true);
            return IsValidUtf8(std::string_view(reinterpret_cast<const char*>(p + 9), uSize - 5u));
        }
        p += 4 + uSize;
        nLeft -= 4 + uSize;
    }
    return false;
}

}  // namespace

void CZipDirectory::Reset() {
    m_entries.clear();
    m_uThisDisk = m_uDirStartDisk = m_uEntriesOnDisk = m_uTotalEntries = 0;
    m_uDirSize = m_uDirOffset = 0;
    m_archiveComment.Release();
    m_nBytesBeforeArchive = 0;
    m_bOnDisk = false;
    m_pCurrent = nullptr;
    m_localExtra.Release();
}

int64_t CZipDirectory::FindEndRecord(CZipBufferedFile& file, const std::string& strArchivePath) {
    const int64_t nLength = file.GetLength();
    const int64_t nWindow = std::min(nLength, kEndSearchWindow);
    if (nWindow == 0)
        ZipException(kZipEndRecordNotFound, strArchivePath);
    std::vector<uint8_t> buffer(static_cast<size_t>(std::min(nWindow, kEndSearchChunk)));
    int64_t nStart = 0;
    while (true) {
        int64_t nEnd = std::min(nStart + kEndSearchChunk, nWindow);
        auto nCount = static_cast<size_t>(nEnd - nStart);
        file.Seek(nLength - nEnd, CZipBigFile::kBegin);
        file.Read(buffer.data(), nCount);
        for (int64_t i = static_cast<int64_t>(nCount) - 4; i >= 0; --i) {
            if (GetU32(buffer.data() + i) == kEndSignature)
                return nLength - nEnd + i;
        }
        if (nEnd >= nWindow)
            break;
        nStart = nEnd - 3;
    }
    ZipException(kZipEndRecordNotFound, strArchivePath);
}

void CZipDirectory::ReadDirectory(CZipBufferedFile& file, const std::string& strArchivePath) {
    const int64_t nEndPos = FindEndRecord(file, strArchivePath);
    uint8_t record[kEndRecordSize];
    file.Seek(nEndPos, CZipBigFile::kBegin);
    file.Read(record, sizeof(record));
    m_uThisDisk = GetU16(record + 4);
    m_uDirStartDisk = GetU16(record + 6);
    m_uEntriesOnDisk = GetU16(record + 8);
    m_uTotalEntries = GetU16(record + 10);
    m_uDirSize = GetU32(record + 12);
    m_uDirOffset = GetU32(record + 16);
    const uint16_t uCommentSize = GetU16(record + 20);
    // Only one-volume archives are handled; a disk number comes from a multi-volume set.
    if (m_uThisDisk != 0 || m_uDirStartDisk != 0)
        ZipException(kZipBadArchive, strArchivePath);
    if (nEndPos < static_cast<int64_t>(m_uDirOffset) + m_uDirSize)
        ZipException(kZipBadArchive, strArchivePath);
    if (uCommentSize != 0) {
        m_archiveComment.Allocate(uCommentSize);
        file.Read(m_archiveComment.Data(), uCommentSize);
    }
    m_nBytesBeforeArchive = nEndPos - m_uDirOffset - m_uDirSize;
    if ((m_uDirSize == 0) != (m_uTotalEntries == 0))
        ZipException(kZipBadArchive, strArchivePath);
    m_bOnDisk = true;
    if (m_uDirSize == 0)
        return;
    // Each header takes at least 46 bytes, so a count that cannot fit is refused before
    // anything is allocated for it.
    if (static_cast<uint64_t>(m_uTotalEntries) * CZipEntryHeader::kCentralFixedSize > m_uDirSize)
        ZipException(kZipBadArchive, strArchivePath);

    // The headers are read from one block: the directory and whatever follows it up to the end
    // of the file, so that a header running past the end of the file is caught.
    const int64_t nDirStart = nEndPos - m_uDirSize;
    std::vector<uint8_t> block(static_cast<size_t>(file.GetLength() - nDirStart));
    file.Seek(nDirStart, CZipBigFile::kBegin);
    file.Read(block.data(), block.size());
    CZipCursor cursor(block.data(), block.size(), strArchivePath);
    m_entries.reserve(m_uTotalEntries);
    for (unsigned i = 0; i < m_uTotalEntries; ++i) {
        auto pHeader = std::make_unique<CZipEntryHeader>();
        CZipEntryHeader& h = *pHeader;
        h.m_uSignature = cursor.U32();
        if (h.m_uSignature != CZipEntryHeader::kCentralSignature)
            ZipException(kZipBadArchive, strArchivePath);
        h.m_uVersionMadeBy = cursor.U16();
        h.m_uVersionNeeded = cursor.U16();
        h.m_uFlag = cursor.U16();
        h.m_uMethod = cursor.U16();
        h.m_uModTime = cursor.U16();
        h.m_uModDate = cursor.U16();
        h.m_uCrc32 = cursor.U32();
        h.m_uComprSize = cursor.U32();
        h.m_uUncomprSize = cursor.U32();
        const uint16_t uNameSize = cursor.U16();
        const uint16_t uExtraSize = cursor.U16();
        const uint16_t uCommentLen = cursor.U16();
        h.m_uDiskStart = cursor.U16();
        h.m_uInternalAttr = cursor.U16();
        h.m_uExternalAttr = cursor.U32();
        h.m_uOffset = cursor.U32();
        const uint8_t* pName = cursor.Take(uNameSize);
        h.m_uStoredNameSize = uNameSize;
        h.SetFileName(
            DecodeStoredName(pName, uNameSize, (h.m_uFlag & CZipEntryHeader::kFlagUtf8) != 0));
        h.m_extraField.Allocate(uExtraSize);
        if (uExtraSize)
            std::memcpy(h.m_extraField.Data(), cursor.Take(uExtraSize), uExtraSize);
        if ((h.m_uFlag & CZipEntryHeader::kFlagUtf8) == 0) {
            std::string strUnicode;
            if (FindUnicodePath(h.m_extraField, pName, uNameSize, strUnicode))
                h.SetFileName(strUnicode);
        }
        h.m_comment.Allocate(uCommentLen);
        if (uCommentLen)
            std::memcpy(h.m_comment.Data(), cursor.Take(uCommentLen), uCommentLen);
        m_entries.push_back(std::move(pHeader));
    }
    CheckEntrySpans(file, strArchivePath);
}

void CZipDirectory::CheckEntrySpans(CZipBufferedFile& file,
                                    const std::string& strArchivePath) const {
    std::vector<const CZipEntryHeader*> order;
    order.reserve(m_entries.size());
    for (const auto& pEntry : m_entries)
        order.push_back(pEntry.get());
    std::stable_sort(order.begin(), order.end(),
                     [](const auto* pA, const auto* pB) { return pA->m_uOffset < pB->m_uOffset; });
    for (size_t i = 0; i < order.size(); ++i) {
        const CZipEntryHeader& entry = *order[i];
        const uint64_t nLimit = i + 1 < order.size() ? order[i + 1]->m_uOffset : m_uDirOffset;
        // What the central header alone tells (the local name has the same length, or the
        // entry is refused when it is read) already refuses most overlaps without a read.
        uint64_t nEnd = uint64_t{entry.m_uOffset} + CZipEntryHeader::kLocalFixedSize +
                        entry.m_uStoredNameSize + entry.m_uComprSize;
        if (nEnd > nLimit)
            ZipException(kZipBadArchive, strArchivePath);
        uint8_t local[CZipEntryHeader::kLocalFixedSize];
        file.ReadAt(m_nBytesBeforeArchive + entry.m_uOffset, local, sizeof(local));
        if (GetU32(local) != CZipEntryHeader::kLocalSignature)
            ZipException(kZipBadArchive, strArchivePath);
        nEnd = uint64_t{entry.m_uOffset} + CZipEntryHeader::kLocalFixedSize + GetU16(local + 26) +
               GetU16(local + 28) + entry.m_uComprSize;
        if ((entry.m_uFlag & CZipEntryHeader::kFlagDataDescriptor) != 0) {
            // 12 bytes of CRC and sizes, after the signature when there is one.
            uint8_t signature[4];
            if (nEnd + sizeof(signature) > nLimit)
                ZipException(kZipBadArchive, strArchivePath);
            file.ReadAt(m_nBytesBeforeArchive + static_cast<int64_t>(nEnd), signature,
                        sizeof(signature));
            nEnd += GetU32(signature) == CZipEntryHeader::kDescriptorSignature ? 16 : 12;
        }
        if (nEnd > nLimit)
            ZipException(kZipBadArchive, strArchivePath);
    }
}

void CZipDirectory::WriteDirectory(CZipBufferedFile& file, const std::string& strArchivePath) {
    file.Flush();
    const int64_t nDirPos = file.Seek(0, CZipBigFile::kEnd);
    if (nDirPos - m_nBytesBeforeArchive > 0xFFFFFFFFLL)
        ZipException(kZipGenericError, strArchivePath);
    m_uTotalEntries = static_cast<uint16_t>(m_entries.size());
    m_uDirSize = 0;
    m_uDirStartDisk = 0;
    m_uDirOffset = static_cast<uint32_t>(nDirPos - m_nBytesBeforeArchive);
    m_uEntriesOnDisk = 0;
    std::vector<uint8_t> header;
    for (const auto& pEntry : m_entries) {
        CZipEntryHeader& h = *pEntry;
        bool bUtf8 = false;
        std::string strStored = EncodeStoredName(h.GetFileName(), bUtf8);
        if (bUtf8)
            h.m_uFlag |= CZipEntryHeader::kFlagUtf8;
        header.assign(CZipEntryHeader::kCentralFixedSize + strStored.size() +
                          h.m_extraField.Size() + h.m_comment.Size(),
                      0);
        CZipWriteCursor cursor(header.data(), header.size(), strArchivePath);
        cursor.U32(CZipEntryHeader::kCentralSignature);
        cursor.U16(h.m_uVersionMadeBy);
        cursor.U16(h.m_uVersionNeeded);
        cursor.U16(h.m_uFlag);
        cursor.U16(h.m_uMethod);
        cursor.U16(h.m_uModTime);
        cursor.U16(h.m_uModDate);
        cursor.U32(h.m_uCrc32);
        cursor.U32(h.m_uComprSize);
        cursor.U32(h.m_uUncomprSize);
        cursor.U16(static_cast<uint16_t>(strStored.size()));
        cursor.U16(static_cast<uint16_t>(h.m_extraField.Size()));
        cursor.U16(static_cast<uint16_t>(h.m_comment.Size()));
        cursor.U16(h.m_uDiskStart);
        cursor.U16(h.m_uInternalAttr);
        cursor.U32(h.m_uExternalAttr);
        cursor.U32(h.m_uOffset);
        cursor.Bytes(strStored.data(), strStored.size());
        cursor.Bytes(h.m_extraField.Data(), h.m_extraField.Size());
        cursor.Bytes(h.m_comment.Data(), h.m_comment.Size());
        if (!cursor.Full())
            ZipException(kZipGenericError, strArchivePath);
        file.Write(header.data(), header.size());
        m_uDirSize += static_cast<uint32_t>(header.size());
        ++m_uEntriesOnDisk;
    }
    m_uThisDisk = 0;
    uint8_t record[kEndRecordSize] = {};
    CZipWriteCursor cursor(record, sizeof(record), strArchivePath);
    cursor.U32(kEndSignature);
    cursor.U16(m_uThisDisk);
    cursor.U16(m_uDirStartDisk);
    cursor.U16(m_uEntriesOnDisk);
    cursor.U16(m_uTotalEntries);
    cursor.U32(m_uDirSize);
    cursor.U32(m_uDirOffset);
    cursor.U16(0);  // no archive comment
    file.Write(record, sizeof(record));
}
