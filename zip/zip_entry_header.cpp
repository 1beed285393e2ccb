#include "zip/zip_entry_header.h"

#include <cstring>
#include <ctime>

#include "platform/file_attributes.h"
#include "platform/file_system.h"

std::string CZipEntryHeader::GetFileName() const {
    if (m_fileName.IsEmpty())
        return {};
    return std::string(reinterpret_cast<const char*>(m_fileName.Data()), m_fileName.Size());
}

void CZipEntryHeader::SetFileName(const std::string& strName) {
    m_fileName.Release();
    m_fileName.Allocate(strName.size());
    if (!strName.empty())
        std::memcpy(m_fileName.Data(), strName.data(), strName.size());
}

bool CZipEntryHeader::IsDirectory() const {
    if (!m_fileName.IsEmpty() && m_fileName.Data()[m_fileName.Size() - 1] == '/')
        return true;
    return ExternalAttributesIsFolder(m_uExternalAttr, m_uVersionMadeBy >> 8);
}

uint32_t CZipEntryHeader::CentralSize() const {
    return static_cast<uint32_t>(kCentralFixedSize + m_fileName.Size() + m_extraField.Size() +
                                 m_comment.Size());
}

uint32_t CZipEntryHeader::LocalSize() const {
    return static_cast<uint32_t>(kLocalFixedSize + m_fileName.Size() + m_extraField.Size());
}

void CZipEntryHeader::SetMethodAndFlagsFromLevel(int iLevel) {
    m_uMethod = iLevel == 0 ? 0 : 8;
    m_uFlag &= static_cast<uint16_t>(~0x0006);
    if (m_uMethod != 8)
        return;
    switch (iLevel) {
        case 1:
            m_uFlag |= 6;
            break;
        case 2:
            m_uFlag |= 4;
            break;
        case 8:
        case 9:
            m_uFlag |= 2;
            break;
        default:
            break;
    }
}

void CZipEntryHeader::SetTime(int64_t tTime) {
    DosDateTimeFromTime(tTime, m_uModDate, m_uModTime);
}

int64_t CZipEntryHeader::GetTime() const {
    return TimeFromDosDateTime(m_uModDate, m_uModTime);
}

void DosDateTimeFromTime(int64_t tTime, uint16_t& uDate, uint16_t& uTime) {
    auto t = static_cast<time_t>(tTime);
    struct tm parts {};
    if (!LocalTime(t, parts)) {
        uDate = 0;
        uTime = 0;
        return;
    }
    int nYear = parts.tm_year + 1900;
    unsigned nYearPart = nYear <= 1980 ? 0 : static_cast<unsigned>(nYear - 1980);
    uDate = static_cast<uint16_t>(nYearPart * 512 + static_cast<unsigned>(parts.tm_mon + 1) * 32 +
                                  static_cast<unsigned>(parts.tm_mday));
    uTime = static_cast<uint16_t>(static_cast<unsigned>(parts.tm_hour) * 2048 +
                                  static_cast<unsigned>(parts.tm_min) * 32 +
                                  static_cast<unsigned>(parts.tm_sec) / 2);
}

int64_t TimeFromDosDateTime(uint16_t uDate, uint16_t uTime) {
    struct tm parts {};
    parts.tm_year = ((uDate >> 9) & 0x7F) + 80;
    parts.tm_mon = ((uDate >> 5) & 0x0F) - 1;
    parts.tm_mday = uDate & 0x1F;
    parts.tm_hour = (uTime >> 11) & 0x1F;
    parts.tm_min = (uTime >> 5) & 0x3F;
    parts.tm_sec = (uTime & 0x1F) * 2;
    parts.tm_isdst = -1;
    return static_cast<int64_t>(mktime(&parts));
}
