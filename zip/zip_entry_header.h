// One entry of an archive: the fields of its central directory header.
#pragma once

#include <cstdint>
#include <string>

#include "zip/zip_byte_buffer.h"

class CZipEntryHeader {
public:
    static constexpr uint32_t kCentralSignature = 0x02014b50;
    static constexpr uint32_t kLocalSignature = 0x04034b50;
    static constexpr uint32_t kDescriptorSignature = 0x08074b50;
    static constexpr uint32_t kCentralFixedSize = 46;
    static constexpr uint32_t kLocalFixedSize = 30;

    // Flag bits.
    static constexpr uint16_t kFlagEncrypted = 0x0001;
    static constexpr uint16_t kFlagDataDescriptor = 0x0008;
    static constexpr uint16_t kFlagUtf8 = 0x0800;

    // A fresh header: method 8, external attributes 0x20, everything else 0 and empty.
    CZipEntryHeader() = default;

    // The name as held in memory: UTF-8, '/' separators (the native separator on POSIX).
    std::string GetFileName() const;
    void SetFileName(const std::string& strName);

    // True when the entry stands for a folder: its name ends with '/' or its attribute word
    // has the DOS folder bit 0x10.
    bool IsDirectory() const;
    bool IsEncrypted() const { return (m_uFlag & kFlagEncrypted) != 0; }
    // Length of the central header as written: 46 + name + extra + comment.
    uint32_t CentralSize() const;
    // Length of the local header as written: 30 + name + extra.
    uint32_t LocalSize() const;

    // Sets flags bits 1-2 and the method from a zlib level (-1 default, 0 stored, 1-9).
    void SetMethodAndFlagsFromLevel(int iLevel);
    // Sets m_uModTime / m_uModDate from a POSIX time, broken down as local time.
    void SetTime(int64_t tTime);
    // The POSIX time of m_uModTime / m_uModDate read as local time.
    int64_t GetTime() const;

    uint32_t m_uSignature = kCentralSignature;
    uint16_t m_uVersionMadeBy = 20;
    uint16_t m_uVersionNeeded = 20;
    uint16_t m_uFlag = 0;
    uint16_t m_uMethod = 8;
    uint16_t m_uModTime = 0;
    uint16_t m_uModDate = 0;
    uint32_t m_uCrc32 = 0;
    uint32_t m_uComprSize = 0;
    uint32_t m_uUncomprSize = 0;
    uint16_t m_uDiskStart = 0;
    uint16_t m_uInternalAttr = 0;
    uint32_t m_uExternalAttr = 0x20;
    uint32_t m_uOffset = 0;
    CZipByteBuffer m_extraField;
    // Name bytes. In memory (in a directory, after reading or between writes) they are UTF-8
    // with '/' separators; only while a header is being written are they the stored form
    // (CP949, or UTF-8 with kFlagUtf8 set when CP949 cannot encode the name).
    CZipByteBuffer m_fileName;
    CZipByteBuffer m_comment;
    // Length of the name as stored in the archive (set when the directory is read).
    uint16_t m_uStoredNameSize = 0;
};

// DOS date and time (16 bits each) from a POSIX time, as local time. Years up to 1980 give
// year part 0.
void DosDateTimeFromTime(int64_t tTime, uint16_t& uDate, uint16_t& uTime);
// POSIX time of a DOS date and time read as local time (daylight saving from the platform).
int64_t TimeFromDosDateTime(uint16_t uDate, uint16_t uTime);
