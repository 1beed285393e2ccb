#include "zip/zip_byte_buffer.h"

#include <cstring>

void CZipByteBuffer::Allocate(size_t nSize) {
    if (nSize == m_nSize)
        return;
    Release();
    if (nSize == 0)
        return;
    m_pData = std::make_unique<uint8_t[]>(nSize);
    m_nSize = nSize;
}

void CZipByteBuffer::Release() {
    m_pData.reset();
    m_nSize = 0;
}

void CZipByteBuffer::Copy(const CZipByteBuffer& other) {
    Release();
    if (other.m_nSize == 0)
        return;
    Allocate(other.m_nSize);
    std::memcpy(m_pData.get(), other.m_pData.get(), m_nSize);
}
