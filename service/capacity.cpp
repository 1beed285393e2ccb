#include "service/capacity.h"

#include <sys/statvfs.h>

namespace zavsvc {

CCapacityLedger::CCapacityLedger(std::string strDataDir, int64_t nCapacityBytes)
    : m_strDataDir(std::move(strDataDir)), m_nCapacity(nCapacityBytes) {}

void CCapacityLedger::SetStored(int64_t nBytes) {
    std::lock_guard lock(m_mutex);
    m_nStored = nBytes;
}

void CCapacityLedger::AddStored(int64_t nDelta) {
    std::lock_guard lock(m_mutex);
    m_nStored = m_nStored + nDelta < 0 ? 0 : m_nStored + nDelta;
}

int64_t CCapacityLedger::Stored() const {
    std::lock_guard lock(m_mutex);
    return m_nStored;
}

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
    double dUsed = 0;
    if (m_nCapacity > 0) {
        std::lock_guard lock(m_mutex);
        dUsed = static_cast<double>(m_nStored + m_reserved.nCapacity) /
                static_cast<double>(m_nCapacity);
    } else {
        int64_t nTotal = 0;
        const int64_t nFree = FreeBytes(&nTotal);
        if (nFree < 0) {
            return 99;  // unknown: report full so that no upload is started
        }
        std::lock_guard lock(m_mutex);
        const int64_t nTaken = nTotal - nFree + m_reserved.nDisk;
        dUsed = nTotal > 0 ? static_cast<double>(nTaken) / static_cast<double>(nTotal) : 1.0;
    }
    const int nPercent = static_cast<int>(dUsed * 100);
    return nPercent < 0 ? 0 : (nPercent > 99 ? 99 : nPercent);
}

CCapacityLedger::EReserve CCapacityLedger::Reserve(const std::string& strId, int64_t nDiskBytes,
                                                   int64_t nCapacityBytes) {
    // Read before the lock: statvfs may wait for the disk.
    const int64_t nFree = FreeBytes(nullptr);
    std::lock_guard lock(m_mutex);
    if (m_mapReservations.count(strId) != 0) {
        return EReserve::MemberBusy;
    }
    // The bytes already written by uploads in progress are in the file system's count and in
    // their reservations both: counted twice until they end, which errs on the safe side.
    const bool bFits =
        nFree >= 0 && nFree - m_reserved.nDisk >= nDiskBytes &&
        (m_nCapacity == 0 || m_nStored + m_reserved.nCapacity + nCapacityBytes <= m_nCapacity);
    if (!bFits) {
        return EReserve::Full;
    }
    m_mapReservations.emplace(strId, SReservation{nDiskBytes, nCapacityBytes});
    m_reserved.nDisk += nDiskBytes;
    m_reserved.nCapacity += nCapacityBytes;
    return EReserve::Reserved;
}

void CCapacityLedger::Release(const std::string& strId) {
    std::lock_guard lock(m_mutex);
    auto it = m_mapReservations.find(strId);
    if (it != m_mapReservations.end()) {
        m_reserved.nDisk -= it->second.nDisk;
        m_reserved.nCapacity -= it->second.nCapacity;
        m_mapReservations.erase(it);
    }
}

}  // namespace zavsvc
