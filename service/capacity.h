#pragma once
// The data folder's disk as uploads in progress at this instance see it: each reserves the
// bytes its body may write before it is stored, and holds them until it is stored or given up,
// so that uploads in progress together cannot fill the disk. What is stored, and the capacity
// every instance shares, are counted in the member database (CMemberStore::Totals).

#include <cstdint>
#include <mutex>
#include <string>
#include <unordered_map>

namespace zavsvc {

class CCapacityLedger {
public:
    enum class EReserve { Reserved, MemberBusy, Full };

    explicit CCapacityLedger(std::string strDataDir) : m_strDataDir(std::move(strDataDir)) {}

    // The share of the file system that is taken and reserved, 0 to 99 (the client reads two
    // digits: a full disk says 99); 99 when the file system cannot be read.
    int UsedPercent() const;

    // Reserves nDiskBytes of the file system for an upload of the member: Full when it does
    // not fit beside what is reserved; MemberBusy while another upload of the member here
    // holds a reservation.
    EReserve Reserve(const std::string& strId, int64_t nDiskBytes);
    void Release(const std::string& strId);

private:
    // Bytes the file system has for the service (statvfs); -1 when unknown.
    int64_t FreeBytes(int64_t* pTotal) const;

    const std::string m_strDataDir;
    mutable std::mutex m_mutex;
    int64_t m_nReserved = 0;                                 // of every upload in progress
    std::unordered_map<std::string, int64_t> m_mapReserved;  // by member id
};

// A reservation of the ledger, released with the object.
class CUploadReservation {
public:
    CUploadReservation(CCapacityLedger& ledger, std::string strId, int64_t nDiskBytes)
        : m_ledger(ledger),
          m_strId(std::move(strId)),
          m_eResult(m_ledger.Reserve(m_strId, nDiskBytes)) {}
    ~CUploadReservation() {
        if (m_eResult == CCapacityLedger::EReserve::Reserved) {
            m_ledger.Release(m_strId);
        }
    }
    CUploadReservation(const CUploadReservation&) = delete;
    CUploadReservation& operator=(const CUploadReservation&) = delete;
    CCapacityLedger::EReserve Result() const { return m_eResult; }

private:
    CCapacityLedger& m_ledger;
    std::string m_strId;
    CCapacityLedger::EReserve m_eResult;
};

}  // namespace zavsvc
