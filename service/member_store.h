#pragma once
// Members and what the service knows of them, in one SQL database (SQLite in the data folder,
// or PostgreSQL shared by any number of instances): password hash, nickname, last upload time
// and the address of the last successful login; the failed logins of every id and address,
// which slow down further attempts; the stored total and the uploads in progress, which hold
// the capacity and one upload per member; and, for archives kept in an object store, which
// objects are each member's current archives.

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "service/sql_db.h"

namespace zavsvc {

struct SMember {
    std::string strId;
    std::string strPasswordHash;
    std::string strNickname;     // UTF-8
    std::string strLastUpload;   // "YYYY-MM-DD HH:MM:SS" or empty
    std::string strSessionAddr;  // client address of the last successful login
    int64_t nSessionTimeMs = 0;
};

// One current archive of a member in an object store.
struct SArchiveRow {
    std::string strCategory;  // the du item name: Fonts, Interface, WDB, WTF
    std::string strKey;       // the object's key
    int64_t nSize = 0;
};

class CMemberStore {
public:
    enum class EAdd { Added, Exists, Failed };
    enum class EGate { Open, Throttled, StoreFailed };
    enum class ELease { Taken, MemberBusy, Full, StoreFailed };
    enum class ECommit { Committed, OverLimit, Full, LeaseLost, StoreFailed };

    CMemberStore() = default;
    virtual ~CMemberStore() = default;
    CMemberStore(const CMemberStore&) = delete;
    CMemberStore& operator=(const CMemberStore&) = delete;

    // Opens (and creates) DIR/zav.db. The error text is set on failure.
    bool Open(const std::string& strDataDir, std::string* pStrError);
    // Opens a PostgreSQL database by its libpq connection string, with at most nConnections
    // connections, and creates the tables it lacks.
    bool OpenPostgres(const std::string& strConnection, size_t nConnections,
                      std::string* pStrError);
    bool IsShared() const { return m_eDialect == ESqlDialect::Postgres; }

    // False when the database could not be read; rOut empty when there is no such member.
    bool Lookup(std::string_view id, std::optional<SMember>& rOut);
    std::optional<SMember> Find(std::string_view id);  // nullopt also when unreadable
    bool List(std::vector<SMember>& rOut);
    std::vector<SMember> List();
    // The highest iteration count of the stored password hashes (HashCost), in one query over
    // the members; 0 without members.
    int MaxHashCost();
    EAdd Add(std::string_view id, std::string_view hash, std::string_view nickname);
    // Adds the member or replaces its password and nickname.
    bool Upsert(std::string_view id, std::string_view hash, std::string_view nickname);
    bool Remove(std::string_view id);

    // Takes one login attempt of the id (known or not) from the address, counted as a failure
    // until RecordLoginSuccess says otherwise. Each count is one atomic statement that also
    // checks the slow-down on the row it counts, so parallel attempts, at one instance or
    // many, get no more password checks than sequential ones. From the fifth failure of an id
    // from one address, and from the twentieth of one address across ids, further attempts of
    // that id or address wait 1 s, 2 s, 4 s ... up to 60 s. Failures are forgotten a day after
    // the last one.
    EGate ReserveLoginAttempt(std::string_view id, std::string_view addr, int64_t nNowMs);
    // After a correct password: clears the id's failures from the address, takes back the
    // address's reserved failure and binds the member to strBindAddr. False when the database
    // could not be written or the member no longer exists. addr is the key the failures are
    // counted under (AddressKey), strBindAddr the client's whole address.
    bool RecordLoginSuccess(std::string_view id, std::string_view addr,
                            std::string_view strBindAddr, int64_t nNowMs);
    // After a wrong password: a wait the reserved failure started runs from now, since the
    // password check itself may take longer than the first wait.
    bool RecordLoginFailure(std::string_view id, std::string_view addr, int64_t nNowMs);
    bool SetLastUpload(std::string_view id, std::string_view text);

    // The stored total: the bytes of every member's current archives.
    bool SetStored(int64_t nBytes);
    bool AddStored(int64_t nDelta);
    // The stored total and what the uploads in progress have reserved beside it.
    bool Totals(int64_t nNowMs, int64_t& rStored, int64_t& rReserved);

    // The upload lease of a member: one row, taken by one conditional insert, that holds
    // nCapacityBytes of the capacity (nCapacityLimit, 0 for none) and keeps every other
    // upload of the member out until it is released, renewed no longer or taken over after
    // its expiry (an instance killed in the middle). strToken names the upload.
    ELease TakeUploadLease(std::string_view id, std::string_view strToken, int64_t nCapacityBytes,
                           int64_t nCapacityLimit, int64_t nNowMs, int64_t nExpiresMs);
    // False when the lease is no longer the upload's (or the database is unreachable).
    bool RenewUploadLease(std::string_view id, std::string_view strToken, int64_t nExpiresMs);
    void ReleaseUploadLease(std::string_view id, std::string_view strToken);
    // Drops every lease: at the start of the one instance of an embedded database.
    bool ClearUploadLeases();

    // The member's current archives in an object store.
    bool Archives(std::string_view id, std::vector<SArchiveRow>& rOut);
    // Makes the rows the member's current archives of their categories, in one transaction,
    // if the upload still holds its lease, the archives kept and the new ones together stay
    // within nLimit and the stored total within nCapacityLimit (0: none). The replaced
    // archives' objects are marked retired (for the sweep), the stored total moves, the last
    // upload time is set and the lease released.
    ECommit CommitArchives(std::string_view id, std::string_view strToken,
                           const std::vector<SArchiveRow>& vecRows, int64_t nLimit,
                           int64_t nCapacityLimit, std::string_view lastUpload, int64_t nNowMs);
    // Takes every current archive away from the member (their objects retired), in one
    // transaction with the stored total and the last upload time. rRetired names the objects.
    bool RemoveArchives(std::string_view id, int64_t nNowMs, std::vector<std::string>& rRetired);
    // What the sweep needs: every object key a row names; the retired keys and the times they
    // were retired; the tokens of leases still running.
    bool NamedKeys(std::vector<std::string>& rOut);
    bool RetiredKeys(std::vector<std::pair<std::string, int64_t>>& rOut);
    bool LiveLeaseTokens(int64_t nNowMs, std::vector<std::string>& rOut);
    bool ForgetRetired(const std::string& strKey);
    // A member copied from another store, with its archives, in one transaction: nothing when
    // the member exists already (Exists).
    EAdd Import(const SMember& member, const std::vector<SArchiveRow>& vecRows);

private:
    bool Prepare(std::string* pStrError);
    std::unique_ptr<ISqlSession> Session();
    bool Run(const std::string& strSql, const std::vector<SSqlValue>& vecParams,
             std::vector<SqlRow>* pRows = nullptr, int64_t* pnChanged = nullptr);
    // One atomic count of a failed attempt under the key: false in rOpen when the key is
    // waiting (and nothing was counted).
    bool CountFailure(ISqlSession& session, const std::string& strKey, int nFree, int64_t nNowMs,
                      bool& rOpen);
    const char* ForUpdate() const;

    std::unique_ptr<ISqlDatabase> m_pDb;
    ESqlDialect m_eDialect = ESqlDialect::Sqlite;
    std::atomic<int64_t> m_nLastPruneMs{0};
};

}  // namespace zavsvc
