#include "service/capacity.h"

#include <sys/statvfs.h>

namespace zavsvc {

int64_t CCapacityLedger::FreeBytes(int64_t* pTotal) const {
    struct statvfs st {};
    if (::statvfs(m_strDataDir.c_str(), &st) != 0) {
        return -1;
    }
    const auto nUnit = static_cast<int64_t>(st.f_frsize);
    const auto nAvailable = static_cast<int64_t>(st.f_bavail) * nUnit;
    if (pTotal != nullptr) {
        // What the service's user may fill: what is taken plus what it may still take.
        *pTotal = static_cast<int64_t>(st.f_blocks - st.f_bfree) * nUnit + nAvailable;
    }
    return nAvailable;
}

int CCapacityLedger::UsedPercent() const {
    int64_t nTotal = 0;
    const int64_t nFree = FreeBytes(&nTotal);
    if (nFree < 0) {
        return 99;  // unknown: report full so that no upload is started
    }
    std::lock_guard lock(m_mutex);
    const int64_t nTaken = nTotal - nFree + m_nReserved;
    const double dUsed =
        nTotal > 0 ? static_cast<double>(nTaken) / static_cast<double>(nTotal) : 1.0;
    const int nPercent = static_cast<int>(dUsed * 100);
    return nPercent < 0 ? 0 : (nPercent > 99 ? 99 : nPercent);
}

CCapacityLedger::EReserve CCapacityLedger::Reserve(const std::string& strId, int64_t nDiskBytes) {
    // Read before the lock: statvfs may wait for the disk.
    const int64_t nFree = FreeBytes(nullptr);
    std::lock_guard lock(m_mutex);
    if (m_mapReserved.count(strId) != 0) {
        return EReserve::MemberBusy;
    }
    // The bytes already written by uploads in progress are in the file system's count and in
    // their reservations both: counted twice until they end, which errs on the safe side.
    if (nFree < 0 || nFree - m_nReserved < nDiskBytes) {
        return EReserve::Full;
    }
    m_mapReserved.emplace(strId, nDiskBytes);
    m_nReserved += nDiskBytes;
    return EReserve::Reserved;
}

void CCapacityLedger::Release(const std::string& strId) {
    std::lock_guard lock(m_mutex);
    auto it = m_mapReserved.find(strId);
    if (it != m_mapReserved.end()) {
        m_nReserved -= it->second;
        m_mapReserved.erase(it);
    }
}

}  // namespace zavsvc
