#pragma once
// The storage the service may still promise: the bytes the stored archives take, and the bytes
// that uploads in progress have reserved, against the capacity (a fixed number of bytes, or
// the data folder's file system). An upload reserves its announced size before it writes
// anything and holds it until it is stored or given up; a member has one upload at a time.
//
// It is kept in this process's memory: the stored total is counted once at start and moved by
// every commit and removal here. Instances that share one store would keep both in the shared
// database instead (a counter moved in the commit's transaction, and one reservation row per
// member with an expiry, taken with one conditional insert), behind the same calls.

#include <cstdint>
#include <mutex>
#include <string>
#include <unordered_map>

namespace zavsvc {

class CCapacityLedger {
public:
    enum class EReserve { Reserved, MemberBusy, Full };

    // nCapacityBytes 0: the free space of strDataDir's file system is the limit.
    CCapacityLedger(std::string strDataDir, int64_t nCapacityBytes);

    void SetStored(int64_t nBytes);
    void AddStored(int64_t nDelta);
    int64_t Stored() const;
    // The share of the capacity that stored archives and reservations take, 0 to 99 (the
    // client reads two digits: a full store says 99); 99 when the file system cannot be read.
    int UsedPercent() const;

    // Reserves room for an upload of the member: nDiskBytes of the file system (what its body
    // may write before it is stored) and, against a fixed capacity, nCapacityBytes (what it
    // adds to the stored archives at least). Full when either does not fit beside what is
    // stored and reserved; MemberBusy while another upload of the member holds a reservation.
    EReserve Reserve(const std::string& strId, int64_t nDiskBytes, int64_t nCapacityBytes);
    void Release(const std::string& strId);

private:
    // Bytes the file system has for the service (statvfs); -1 when unknown.
    int64_t FreeBytes(int64_t* pTotal) const;

    const std::string m_strDataDir;
    const int64_t m_nCapacity;
    mutable std::mutex m_mutex;
    struct SReservation {
        int64_t nDisk;
        int64_t nCapacity;
    };
    int64_t m_nStored = 0;
    SReservation m_reserved{0, 0};                                    // of every upload in progress
    std::unordered_map<std::string, SReservation> m_mapReservations;  // by member id
};

// A reservation of the ledger, released with the object.
class CUploadReservation {
public:
    CUploadReservation(CCapacityLedger& ledger, std::string strId, int64_t nDiskBytes,
                       int64_t nCapacityBytes)
        : m_ledger(ledger),
          m_strId(std::move(strId)),
          m_eResult(m_ledger.Reserve(m_strId, nDiskBytes, nCapacityBytes)) {}
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
