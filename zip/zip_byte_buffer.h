// An owned heap byte array with its size (names, extra fields, comments of entries).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

class CZipByteBuffer {
public:
    CZipByteBuffer() = default;
    CZipByteBuffer(const CZipByteBuffer& other) { Copy(other); }
    CZipByteBuffer& operator=(const CZipByteBuffer& other) {
        if (this != &other)
            Copy(other);
        return *this;
    }
    CZipByteBuffer(CZipByteBuffer&&) noexcept = default;
    CZipByteBuffer& operator=(CZipByteBuffer&&) noexcept = default;

    // Replaces the contents with nSize bytes (kept as they are when the size is unchanged).
    void Allocate(size_t nSize);
    // Frees the contents; the size becomes 0.
    void Release();
    // Makes this a duplicate of other.
    void Copy(const CZipByteBuffer& other);

    uint8_t* Data() { return m_pData.get(); }
    const uint8_t* Data() const { return m_pData.get(); }
    size_t Size() const { return m_nSize; }
    bool IsEmpty() const { return m_nSize == 0; }

private:
    std::unique_ptr<uint8_t[]> m_pData;
    size_t m_nSize = 0;
};
