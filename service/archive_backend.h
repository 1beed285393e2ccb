#pragma once
// Where the members' archives are kept, behind one interface: as files under the data folder
// (one instance), or as objects in an S3-compatible store with the member database saying
// which objects are each member's current archives (any number of instances). Either way an
// upload's archives arrive in a staging folder of the data folder first, and replace the
// stored ones all together or not at all.

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "service/archive_store.h"
#include "service/clock.h"
#include "service/member_store.h"
#include "service/s3_client.h"

namespace zavsvc {

// An upload's lease lasts this long unless renewed, which the arrival of its body does every
// kUploadLeaseRenewMs: an instance killed in the middle keeps the member's next upload out
// (409) for at most this long.
inline constexpr int64_t kUploadLeaseMs = 20 * 1000;
inline constexpr int64_t kUploadLeaseRenewMs = 5 * 1000;

enum class EStoreResult {
    Ok,
    NotFound,     // no such archive
    OverLimit,    // the archives kept and new together pass the upload limit
    Full,         // the capacity
    LeaseLost,    // another upload of the member took over
    Failed,       // a storage fault (500)
    Unavailable,  // the database or the store cannot be reached (503)
};

// A stored archive being read for a download.
class IArchiveReader {
public:
    virtual ~IArchiveReader() = default;
    virtual int64_t Size() const = 0;
    // Writes the bytes from nOffset on, one piece or more, through fnWrite; false when they
    // cannot be read whole or fnWrite refused.
    virtual bool Send(size_t nOffset, size_t nLength,
                      const std::function<bool(const char*, size_t)>& fnWrite) = 0;
};

struct SCommitLimits {
    int64_t nUploadLimit = 0;    // what the member may keep
    int64_t nCapacityLimit = 0;  // every member together; 0: none
};

class IArchiveStore {
public:
    virtual ~IArchiveStore() = default;
    // At start: finishes interrupted commits and counts what is stored (files), or checks that
    // the bucket answers (S3).
    virtual bool Prepare(std::string* pStrError) = 0;
    // The sizes of the member's archives in the order of Categories(), 0 for none.
    virtual EStoreResult Sizes(std::string_view id, std::array<int64_t, 4>& rSizes) = 0;
    // Makes the staged archives the member's if the upload (strToken) still holds its lease and
    // the limits hold, with the stored total and the last upload time.
    virtual EStoreResult Commit(std::string_view id, const std::string& strToken,
                                CUploadStage& stage, const SCommitLimits& limits,
                                std::string_view lastUpload) = 0;
    // Removes every archive of the member (and empties its last upload time).
    virtual EStoreResult RemoveAll(std::string_view id) = 0;
    virtual EStoreResult Open(std::string_view id, const SCategory& category,
                              std::unique_ptr<IArchiveReader>& rOut) = 0;
    // Deletes what no member's archive is any longer and no upload in progress will be.
    virtual void Sweep() {}
    // True when the data folder's free space is the capacity (files without --capacity-mb).
    virtual bool OnLocalDisk() const = 0;
};

// Files under DATA/UserData.
std::unique_ptr<IArchiveStore> MakeFileArchives(CArchiveStore& files, CMemberStore& members,
                                                NowFn fnNowMs);

// Objects PREFIX/u/<member id in hex>/<upload token>/__<Category>.zip of the bucket; an object
// that no row names is deleted by the sweep once it has been so for nGraceMs (and no upload in
// progress holds its token), so that a download that began before its replacement ends whole.
std::unique_ptr<IArchiveStore> MakeS3Archives(std::unique_ptr<CS3Client> pClient,
                                              CMemberStore& members, NowFn fnNowMs,
                                              int64_t nGraceMs);

// A new upload token: the time in milliseconds and 64 random bits, "1733800000000-89ab...".
std::string NewUploadToken(int64_t nNowMs);

// The key of an archive in an object store.
std::string ObjectKey(const SS3Location& location, std::string_view id, const std::string& strToken,
                      const SCategory& category);

}  // namespace zavsvc
