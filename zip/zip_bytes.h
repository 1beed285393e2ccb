// Little-endian fields of the archive records, and bounds-checked cursors that read and write
// them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "zip/zip_exception.h"

inline void PutU16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}
inline void PutU32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
    p[3] = static_cast<uint8_t>(v >> 24);
}
inline uint16_t GetU16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
inline uint32_t GetU32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

// Reads fields from a byte range; reading past its end throws CZipException BadArchive.
class CZipCursor {
public:
    CZipCursor(const uint8_t* pData, size_t nSize, const std::string& strArchivePath)
        : m_pData(pData), m_nSize(nSize), m_strArchivePath(strArchivePath) {}

    const uint8_t* Take(size_t nCount) {
        if (nCount > m_nSize - m_nPos)
            ZipException(kZipBadArchive, m_strArchivePath);
        const uint8_t* p = m_pData + m_nPos;
        m_nPos += nCount;
        return p;
    }
    uint16_t U16() { return GetU16(Take(2)); }
    uint32_t U32() { return GetU32(Take(4)); }

private:
    const uint8_t* m_pData;
    size_t m_nSize;
    size_t m_nPos = 0;
    const std::string& m_strArchivePath;
};

// Writes fields into a byte range in order; writing past its end throws CZipException
// GenericError (a record larger than the room made for it is never written cut or beyond).
class CZipWriteCursor {
public:
    CZipWriteCursor(uint8_t* pData, size_t nSize, const std::string& strArchivePath)
        : m_pData(pData), m_nSize(nSize), m_strArchivePath(strArchivePath) {}

    uint8_t* Take(size_t nCount) {
        if (nCount > m_nSize - m_nPos)
            ZipException(kZipGenericError, m_strArchivePath);
        uint8_t* p = m_pData + m_nPos;
        m_nPos += nCount;
        return p;
    }
    void U16(uint16_t v) { PutU16(Take(2), v); }
    void U32(uint32_t v) { PutU32(Take(4), v); }
    void Bytes(const void* pData, size_t nCount) {
        uint8_t* p = Take(nCount);
        if (nCount > 0)
            std::memcpy(p, pData, nCount);
    }
    void Zeros(size_t nCount) {
        uint8_t* p = Take(nCount);
        if (nCount > 0)
            std::memset(p, 0, nCount);
    }
    // True when every byte of the range was written.
    bool Full() const { return m_nPos == m_nSize; }

private:
    uint8_t* m_pData;
    size_t m_nSize;
    size_t m_nPos = 0;
    const std::string& m_strArchivePath;
};
