#include "service/member_store.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>

namespace zavsvc {
namespace {

// The members' failures and locked_until columns are no longer used (failed logins are kept
// per id and address in login_failures); they stay so that older databases open unchanged.
const char* const kSqliteSchema[] = {
    "CREATE TABLE IF NOT EXISTS members ("
    " id TEXT PRIMARY KEY NOT NULL,"
    " password TEXT NOT NULL,"
    " nickname TEXT NOT NULL,"
    " last_upload TEXT NOT NULL DEFAULT '',"
    " session_addr TEXT NOT NULL DEFAULT '',"
    " session_time INTEGER NOT NULL DEFAULT 0,"
    " failures INTEGER NOT NULL DEFAULT 0,"
    " locked_until INTEGER NOT NULL DEFAULT 0)",
    // key: the address alone (every id from it), or address LF id (an address never holds LF).
    "CREATE TABLE IF NOT EXISTS login_failures ("
    " key TEXT PRIMARY KEY NOT NULL,"
    " failures INTEGER NOT NULL,"
    " last_failure INTEGER NOT NULL,"
    " locked_until INTEGER NOT NULL) WITHOUT ROWID",
    "CREATE TABLE IF NOT EXISTS totals (name TEXT PRIMARY KEY NOT NULL, bytes INTEGER NOT NULL)",
    "CREATE TABLE IF NOT EXISTS upload_leases (member_id TEXT PRIMARY KEY NOT NULL,"
    " token TEXT NOT NULL, capacity_bytes INTEGER NOT NULL, expires_at INTEGER NOT NULL)",
    "CREATE TABLE IF NOT EXISTS archives (member_id TEXT NOT NULL, category TEXT NOT NULL,"
    " object_key TEXT NOT NULL, size INTEGER NOT NULL, PRIMARY KEY (member_id, category))",
    "CREATE TABLE IF NOT EXISTS retired_objects (object_key TEXT PRIMARY KEY NOT NULL,"
    " retired_at INTEGER NOT NULL)",
};

const char* const kPostgresSchema[] = {
    "CREATE TABLE IF NOT EXISTS members ("
    " id TEXT PRIMARY KEY NOT NULL,"
    " password TEXT NOT NULL,"
    " nickname TEXT NOT NULL,"
    " last_upload TEXT NOT NULL DEFAULT '',"
    " session_addr TEXT NOT NULL DEFAULT '',"
    " session_time BIGINT NOT NULL DEFAULT 0)",
    "CREATE TABLE IF NOT EXISTS login_failures ("
    " key TEXT PRIMARY KEY NOT NULL,"
    " failures INTEGER NOT NULL,"
    " last_failure BIGINT NOT NULL,"
    " locked_until BIGINT NOT NULL)",
    "CREATE TABLE IF NOT EXISTS totals (name TEXT PRIMARY KEY NOT NULL, bytes BIGINT NOT NULL)",
    "CREATE TABLE IF NOT EXISTS upload_leases (member_id TEXT PRIMARY KEY NOT NULL,"
    " token TEXT NOT NULL, capacity_bytes BIGINT NOT NULL, expires_at BIGINT NOT NULL)",
    "CREATE TABLE IF NOT EXISTS archives (member_id TEXT NOT NULL, category TEXT NOT NULL,"
    " object_key TEXT NOT NULL, size BIGINT NOT NULL, PRIMARY KEY (member_id, category))",
    "CREATE TABLE IF NOT EXISTS retired_objects (object_key TEXT PRIMARY KEY NOT NULL,"
    " retired_at BIGINT NOT NULL)",
};

// An object no member's archive is any longer, kept for the sweep.
constexpr const char* kRetire =
    "INSERT INTO retired_objects (object_key, retired_at) VALUES ($1, $2) ON CONFLICT DO NOTHING";

constexpr const char* kColumns = "id, password, nickname, last_upload, session_addr, session_time";

constexpr int kFreeFailuresPerId = 5;        // of one id from one address
constexpr int kFreeFailuresPerAddress = 20;  // of one address across ids
constexpr int64_t kForgetMs = int64_t{24} * 3600 * 1000;
constexpr int64_t kPruneEveryMs = int64_t{3600} * 1000;
constexpr int64_t kMaxHashCost = 10000000;
// Taken by every instance that creates the tables, so that two starting at once do not race.
constexpr int64_t kSchemaLockId = 0x7a61762d736368;

// The wait after the failure counted as N (an SQL expression) with $3 failures free: 1 s,
// 2 s, 4 s ... up to 60 s, from $2.
std::string WaitAfter(const std::string& strCount) {
    return "$2 + CASE WHEN " + strCount + " - $3 >= 6 THEN 60000 ELSE CAST(1000 AS BIGINT) << " +
           "CAST(" + strCount + " - $3 AS INTEGER) END";
}

std::string IdKey(std::string_view addr, std::string_view id) {
    return std::string(addr) + "\n" + std::string(id);
}

int64_t ToInt(const std::string& str) {
    return str.empty() ? 0 : std::atoll(str.c_str());
}

SMember ReadMember(const SqlRow& row) {
    SMember member;
    member.strId = row[0];
    member.strPasswordHash = row[1];
    member.strNickname = row[2];
    member.strLastUpload = row[3];
    member.strSessionAddr = row[4];
    member.nSessionTimeMs = ToInt(row[5]);
    return member;
}

}  // namespace

bool CMemberStore::Open(const std::string& strDataDir, std::string* pStrError) {
    m_pDb = OpenSqlite(strDataDir + "/zav.db", pStrError);
    m_eDialect = ESqlDialect::Sqlite;
    return m_pDb && Prepare(pStrError);
}

bool CMemberStore::OpenPostgres(const std::string& strConnection, size_t nConnections,
                                std::string* pStrError) {
    m_pDb = zavsvc::OpenPostgres(strConnection, nConnections, pStrError);
    m_eDialect = ESqlDialect::Postgres;
    return m_pDb && Prepare(pStrError);
}

bool CMemberStore::Prepare(std::string* pStrError) {
    auto session = Session();
    if (!session) {
        *pStrError = "the database cannot be reached";
        return false;
    }
    CSqlTransaction transaction(*session, m_eDialect);
    bool bOk = transaction.Begun();
    if (bOk && m_eDialect == ESqlDialect::Postgres) {
        bOk = session->Run("SELECT pg_advisory_xact_lock($1)", {kSchemaLockId});
    }
    if (m_eDialect == ESqlDialect::Sqlite) {
        for (const char* pszSql : kSqliteSchema) {
            bOk = bOk && session->Run(pszSql, {});
        }
    } else {
        for (const char* pszSql : kPostgresSchema) {
            bOk = bOk && session->Run(pszSql, {});
        }
    }
    bOk = bOk &&
          session->Run(
              "INSERT INTO totals (name, bytes) VALUES ('stored', 0) ON CONFLICT DO NOTHING", {}) &&
          transaction.Commit();
    if (!bOk) {
        *pStrError = session->Error();
        m_pDb.reset();
    }
    return bOk;
}

std::unique_ptr<ISqlSession> CMemberStore::Session() {
    if (!m_pDb) {
        return nullptr;
    }
    std::string strError;
    auto session = m_pDb->Take(&strError);
    if (!session) {
        std::fprintf(stderr, "zav-service: database: %s\n", strError.c_str());
    }
    return session;
}

bool CMemberStore::Run(const std::string& strSql, const std::vector<SSqlValue>& vecParams,
                       std::vector<SqlRow>* pRows, int64_t* pnChanged) {
    auto session = Session();
    return session && session->Run(strSql, vecParams, pRows, pnChanged);
}

const char* CMemberStore::ForUpdate() const {
    return m_eDialect == ESqlDialect::Postgres ? " FOR UPDATE" : "";
}

bool CMemberStore::Lookup(std::string_view id, std::optional<SMember>& rOut) {
    std::vector<SqlRow> vecRows;
    rOut.reset();
    if (!Run(std::string("SELECT ") + kColumns + " FROM members WHERE id = $1", {id}, &vecRows)) {
        return false;
    }
    if (!vecRows.empty()) {
        rOut = ReadMember(vecRows[0]);
    }
    return true;
}

std::optional<SMember> CMemberStore::Find(std::string_view id) {
    std::optional<SMember> member;
    Lookup(id, member);
    return member;
}

bool CMemberStore::List(std::vector<SMember>& rOut) {
    std::vector<SqlRow> vecRows;
    if (!Run(std::string("SELECT ") + kColumns + " FROM members ORDER BY id", {}, &vecRows)) {
        return false;
    }
    for (const auto& row : vecRows) {
        rOut.push_back(ReadMember(row));
    }
    return true;
}

std::vector<SMember> CMemberStore::List() {
    std::vector<SMember> vec;
    List(vec);
    return vec;
}

int CMemberStore::MaxHashCost() {
    // The count between the scheme and the salt: pbkdf2-sha256$COUNT$...
    const char* pszSql =
        m_eDialect == ESqlDialect::Postgres
            ? R"(SELECT MAX(CAST(split_part(password, '$', 2) AS BIGINT)) FROM members
                 WHERE password ~ '^pbkdf2-sha256\$[0-9]{1,8}\$')"
            : R"(SELECT MAX(CAST(substr(password, 15, instr(substr(password, 15), '$') - 1)
                 AS INTEGER)) FROM members WHERE password LIKE 'pbkdf2-sha256$%')";
    std::vector<SqlRow> vecRows;
    if (!Run(pszSql, {}, &vecRows) || vecRows.empty()) {
        return 0;
    }
    const int64_t n = ToInt(vecRows[0][0]);
    return n < 1 || n > kMaxHashCost ? 0 : static_cast<int>(n);
}

CMemberStore::EAdd CMemberStore::Add(std::string_view id, std::string_view hash,
                                     std::string_view nickname) {
    auto session = Session();
    if (!session) {
        return EAdd::Failed;
    }
    if (session->Run("INSERT INTO members (id, password, nickname) VALUES ($1, $2, $3)",
                     {id, hash, nickname})) {
        return EAdd::Added;
    }
    return session->WasUniqueViolation() ? EAdd::Exists : EAdd::Failed;
}

bool CMemberStore::Upsert(std::string_view id, std::string_view hash, std::string_view nickname) {
    return Run(
        "INSERT INTO members (id, password, nickname) VALUES ($1, $2, $3) ON CONFLICT (id) DO "
        "UPDATE SET password = excluded.password, nickname = excluded.nickname",
        {id, hash, nickname});
}

bool CMemberStore::Remove(std::string_view id) {
    int64_t nChanged = 0;
    return Run("DELETE FROM members WHERE id = $1", {id}, nullptr, &nChanged) && nChanged > 0;
}

bool CMemberStore::CountFailure(ISqlSession& session, const std::string& strKey, int nFree,
                                int64_t nNowMs, bool& rOpen) {
    // The count and the check of the wait are one statement on the key's row: an attempt
    // while the key waits changes nothing and returns no row.
    const std::string strCount = "(CASE WHEN f.last_failure < $4 THEN 1 ELSE f.failures + 1 END)";
    const std::string strSql =
        "INSERT INTO login_failures AS f (key, failures, last_failure, locked_until) "
        "VALUES ($1, 1, $2, 0) ON CONFLICT (key) DO UPDATE SET failures = " +
        strCount + ", last_failure = $2, locked_until = CASE WHEN " + strCount + " >= $3 THEN " +
        WaitAfter(strCount) + " ELSE 0 END WHERE f.locked_until <= $2 RETURNING failures";
    std::vector<SqlRow> vecRows;
    if (!session.Run(strSql, {strKey, nNowMs, nFree, nNowMs - kForgetMs}, &vecRows)) {
        return false;
    }
    rOpen = !vecRows.empty();
    return true;
}

CMemberStore::EGate CMemberStore::ReserveLoginAttempt(std::string_view id, std::string_view addr,
                                                      int64_t nNowMs) {
    auto session = Session();
    if (!session) {
        return EGate::StoreFailed;
    }
    const std::string strIdKey = IdKey(addr, id);
    const std::string strAddrKey(addr);
    bool bOpen = false;
    if (!CountFailure(*session, strIdKey, kFreeFailuresPerId, nNowMs, bOpen)) {
        return EGate::StoreFailed;
    }
    if (!bOpen) {
        return EGate::Throttled;
    }
    if (!CountFailure(*session, strAddrKey, kFreeFailuresPerAddress, nNowMs, bOpen)) {
        return EGate::StoreFailed;
    }
    if (!bOpen) {
        // The address waits: the id's count goes back, so that a refused attempt counts once.
        session->Run(
            "UPDATE login_failures SET failures = failures - 1, locked_until = CASE WHEN "
            "failures - 1 >= $2 THEN locked_until ELSE 0 END WHERE key = $1 AND failures > 0",
            {strIdKey, kFreeFailuresPerId});
        return EGate::Throttled;
    }
    int64_t nLastPrune = m_nLastPruneMs.load();
    if (nNowMs - nLastPrune > kPruneEveryMs &&
        m_nLastPruneMs.compare_exchange_strong(nLastPrune, nNowMs)) {
        session->Run("DELETE FROM login_failures WHERE last_failure < $1", {nNowMs - kForgetMs});
    }
    return EGate::Open;
}

bool CMemberStore::RecordLoginSuccess(std::string_view id, std::string_view addr,
                                      std::string_view strBindAddr, int64_t nNowMs) {
    auto session = Session();
    if (!session) {
        return false;
    }
    CSqlTransaction transaction(*session, m_eDialect);
    int64_t nBound = 0;
    // The address's failure reserved for this attempt is taken back, and with it a wait the
    // reservation itself started.
    return transaction.Begun() &&
           session->Run("DELETE FROM login_failures WHERE key = $1", {IdKey(addr, id)}) &&
           session->Run(
               "UPDATE login_failures SET failures = CASE WHEN failures > 0 THEN failures - 1 "
               "ELSE 0 END, locked_until = CASE WHEN failures - 1 >= $2 THEN locked_until ELSE 0 "
               "END WHERE key = $1",
               {addr, kFreeFailuresPerAddress}) &&
           session->Run("UPDATE members SET session_addr = $2, session_time = $3 WHERE id = $1",
                        {id, strBindAddr, nNowMs}, nullptr, &nBound) &&
           nBound > 0 && transaction.Commit();
}

bool CMemberStore::RecordLoginFailure(std::string_view id, std::string_view addr, int64_t nNowMs) {
    auto session = Session();
    if (!session) {
        return false;
    }
    const std::string strWait = WaitAfter("failures");
    const std::string strSql =
        "UPDATE login_failures SET locked_until = CASE WHEN locked_until > " + strWait +
        " THEN locked_until ELSE " + strWait + " END WHERE key = $1 AND failures >= $3";
    return session->Run(strSql, {IdKey(addr, id), nNowMs, kFreeFailuresPerId}) &&
           session->Run(strSql, {std::string(addr), nNowMs, kFreeFailuresPerAddress});
}

bool CMemberStore::SetLastUpload(std::string_view id, std::string_view text) {
    return Run("UPDATE members SET last_upload = $2 WHERE id = $1", {id, text});
}

bool CMemberStore::SetStored(int64_t nBytes) {
    return Run("UPDATE totals SET bytes = $1 WHERE name = 'stored'", {nBytes});
}

bool CMemberStore::AddStored(int64_t nDelta) {
    return Run(
        "UPDATE totals SET bytes = CASE WHEN bytes + $1 < 0 THEN 0 ELSE bytes + $1 END "
        "WHERE name = 'stored'",
        {nDelta});
}

bool CMemberStore::Totals(int64_t nNowMs, int64_t& rStored, int64_t& rReserved) {
    std::vector<SqlRow> vecRows;
    if (!Run("SELECT (SELECT bytes FROM totals WHERE name = 'stored'), (SELECT "
             "COALESCE(SUM(capacity_bytes), 0) FROM upload_leases WHERE expires_at > $1)",
             {nNowMs}, &vecRows) ||
        vecRows.empty()) {
        return false;
    }
    rStored = ToInt(vecRows[0][0]);
    rReserved = ToInt(vecRows[0][1]);
    return true;
}

CMemberStore::ELease CMemberStore::TakeUploadLease(std::string_view id, std::string_view strToken,
                                                   int64_t nCapacityBytes, int64_t nCapacityLimit,
                                                   int64_t nNowMs, int64_t nExpiresMs) {
    auto session = Session();
    if (!session) {
        return ELease::StoreFailed;
    }
    CSqlTransaction transaction(*session, m_eDialect);
    // The total's row is locked first: leases of different members taken at once then see
    // each other's reservations.
    int64_t nTaken = 0;
    if (!transaction.Begun() ||
        !session->Run(std::string("SELECT bytes FROM totals WHERE name = 'stored'") + ForUpdate(),
                      {}) ||
        !session->Run(
            "INSERT INTO upload_leases AS l (member_id, token, capacity_bytes, expires_at) "
            "SELECT $1, $2, $3, $5 WHERE $4 = 0 OR (SELECT bytes FROM totals WHERE name = "
            "'stored') + (SELECT COALESCE(SUM(capacity_bytes), 0) FROM upload_leases WHERE "
            "expires_at > $6 AND member_id <> $1) + $3 <= $4 ON CONFLICT (member_id) DO UPDATE "
            "SET token = excluded.token, capacity_bytes = excluded.capacity_bytes, expires_at = "
            "excluded.expires_at WHERE l.expires_at <= $6",
            {id, strToken, nCapacityBytes, nCapacityLimit, nExpiresMs, nNowMs}, nullptr, &nTaken)) {
        return ELease::StoreFailed;
    }
    if (nTaken > 0) {
        return transaction.Commit() ? ELease::Taken : ELease::StoreFailed;
    }
    std::vector<SqlRow> vecRows;
    if (!session->Run("SELECT 1 FROM upload_leases WHERE member_id = $1 AND expires_at > $2",
                      {id, nNowMs}, &vecRows)) {
        return ELease::StoreFailed;
    }
    return vecRows.empty() ? ELease::Full : ELease::MemberBusy;
}

bool CMemberStore::RenewUploadLease(std::string_view id, std::string_view strToken,
                                    int64_t nExpiresMs) {
    int64_t nChanged = 0;
    return Run("UPDATE upload_leases SET expires_at = $3 WHERE member_id = $1 AND token = $2",
               {id, strToken, nExpiresMs}, nullptr, &nChanged) &&
           nChanged > 0;
}

void CMemberStore::ReleaseUploadLease(std::string_view id, std::string_view strToken) {
    // A lease that cannot be released runs out at its expiry.
    Run("DELETE FROM upload_leases WHERE member_id = $1 AND token = $2", {id, strToken});
}

bool CMemberStore::ClearUploadLeases() {
    return Run("DELETE FROM upload_leases", {});
}

bool CMemberStore::Archives(std::string_view id, std::vector<SArchiveRow>& rOut) {
    std::vector<SqlRow> vecRows;
    if (!Run("SELECT category, object_key, size FROM archives WHERE member_id = $1", {id},
             &vecRows)) {
        return false;
    }
    for (const auto& row : vecRows) {
        rOut.push_back({row[0], row[1], ToInt(row[2])});
    }
    return true;
}

CMemberStore::ECommit CMemberStore::CommitArchives(std::string_view id, std::string_view strToken,
                                                   const std::vector<SArchiveRow>& vecRows,
                                                   int64_t nLimit, int64_t nCapacityLimit,
                                                   std::string_view lastUpload, int64_t nNowMs) {
    auto session = Session();
    if (!session) {
        return ECommit::StoreFailed;
    }
    CSqlTransaction transaction(*session, m_eDialect);
    std::vector<SqlRow> vecTotal, vecLease, vecCurrent;
    if (!transaction.Begun() ||
        !session->Run(std::string("SELECT bytes FROM totals WHERE name = 'stored'") + ForUpdate(),
                      {}, &vecTotal) ||
        !session->Run(std::string("SELECT 1 FROM upload_leases WHERE member_id = $1 AND token = "
                                  "$2") +
                          ForUpdate(),
                      {id, strToken}, &vecLease) ||
        !session->Run("SELECT category, object_key, size FROM archives WHERE member_id = $1", {id},
                      &vecCurrent) ||
        vecTotal.empty()) {
        return ECommit::StoreFailed;
    }
    if (vecLease.empty()) {
        return ECommit::LeaseLost;
    }
    std::map<std::string, std::pair<std::string, int64_t>> mapCurrent;
    for (const auto& row : vecCurrent) {
        mapCurrent[row[0]] = {row[1], ToInt(row[2])};
    }
    int64_t nNew = 0, nReplaced = 0, nKept = 0;
    for (const auto& row : vecRows) {
        nNew += row.nSize;
    }
    for (const auto& current : mapCurrent) {
        const bool bReplaced = std::any_of(vecRows.begin(), vecRows.end(), [&](const auto& row) {
            return row.strCategory == current.first;
        });
        (bReplaced ? nReplaced : nKept) += current.second.second;
    }
    if (nKept + nNew > nLimit) {
        return ECommit::OverLimit;
    }
    const int64_t nDelta = nNew - nReplaced;
    if (nCapacityLimit > 0 && ToInt(vecTotal[0][0]) + nDelta > nCapacityLimit) {
        return ECommit::Full;
    }
    bool bOk = true;
    for (const auto& row : vecRows) {
        auto it = mapCurrent.find(row.strCategory);
        if (it != mapCurrent.end()) {
            bOk = bOk && session->Run(kRetire, {it->second.first, nNowMs});
        }
        bOk = bOk && session->Run(
                         "INSERT INTO archives (member_id, category, object_key, size) VALUES "
                         "($1, $2, $3, $4) ON CONFLICT (member_id, category) DO UPDATE SET "
                         "object_key = excluded.object_key, size = excluded.size",
                         {id, row.strCategory, row.strKey, row.nSize});
    }
    bOk = bOk &&
          session->Run("UPDATE totals SET bytes = bytes + $1 WHERE name = 'stored'", {nDelta}) &&
          session->Run("UPDATE members SET last_upload = $2 WHERE id = $1", {id, lastUpload}) &&
          session->Run("DELETE FROM upload_leases WHERE member_id = $1 AND token = $2",
                       {id, strToken}) &&
          transaction.Commit();
    return bOk ? ECommit::Committed : ECommit::StoreFailed;
}

bool CMemberStore::RemoveArchives(std::string_view id, int64_t nNowMs,
                                  std::vector<std::string>& rRetired) {
    auto session = Session();
    if (!session) {
        return false;
    }
    CSqlTransaction transaction(*session, m_eDialect);
    std::vector<SqlRow> vecCurrent;
    if (!transaction.Begun() ||
        !session->Run(std::string("SELECT bytes FROM totals WHERE name = 'stored'") + ForUpdate(),
                      {}) ||
        !session->Run("SELECT object_key, size FROM archives WHERE member_id = $1", {id},
                      &vecCurrent)) {
        return false;
    }
    int64_t nTotal = 0;
    bool bOk = true;
    for (const auto& row : vecCurrent) {
        nTotal += ToInt(row[1]);
        bOk = bOk && session->Run(kRetire, {row[0], nNowMs});
    }
    bOk = bOk && session->Run("DELETE FROM archives WHERE member_id = $1", {id}) &&
          session->Run(
              "UPDATE totals SET bytes = CASE WHEN bytes < $1 THEN 0 ELSE bytes - $1 END WHERE "
              "name = 'stored'",
              {nTotal}) &&
          session->Run("UPDATE members SET last_upload = '' WHERE id = $1", {id}) &&
          transaction.Commit();
    if (bOk) {
        for (const auto& row : vecCurrent) {
            rRetired.push_back(row[0]);
        }
    }
    return bOk;
}

bool CMemberStore::NamedKeys(std::vector<std::string>& rOut) {
    std::vector<SqlRow> vecRows;
    if (!Run("SELECT object_key FROM archives", {}, &vecRows)) {
        return false;
    }
    for (auto& row : vecRows) {
        rOut.push_back(std::move(row[0]));
    }
    return true;
}

bool CMemberStore::RetiredKeys(std::vector<std::pair<std::string, int64_t>>& rOut) {
    std::vector<SqlRow> vecRows;
    if (!Run("SELECT object_key, retired_at FROM retired_objects", {}, &vecRows)) {
        return false;
    }
    for (auto& row : vecRows) {
        rOut.emplace_back(std::move(row[0]), ToInt(row[1]));
    }
    return true;
}

bool CMemberStore::LiveLeaseTokens(int64_t nNowMs, std::vector<std::string>& rOut) {
    std::vector<SqlRow> vecRows;
    if (!Run("SELECT token FROM upload_leases WHERE expires_at > $1", {nNowMs}, &vecRows)) {
        return false;
    }
    for (auto& row : vecRows) {
        rOut.push_back(std::move(row[0]));
    }
    return true;
}

bool CMemberStore::ForgetRetired(const std::string& strKey) {
    return Run("DELETE FROM retired_objects WHERE object_key = $1", {strKey});
}

CMemberStore::EAdd CMemberStore::Import(const SMember& member,
                                        const std::vector<SArchiveRow>& vecRows) {
    auto session = Session();
    if (!session) {
        return EAdd::Failed;
    }
    CSqlTransaction transaction(*session, m_eDialect);
    int64_t nAdded = 0;
    if (!transaction.Begun() ||
        !session->Run("INSERT INTO members (id, password, nickname, last_upload, session_addr, "
                      "session_time) VALUES ($1, $2, $3, $4, $5, $6) ON CONFLICT (id) DO NOTHING",
                      {member.strId, member.strPasswordHash, member.strNickname,
                       member.strLastUpload, member.strSessionAddr, member.nSessionTimeMs},
                      nullptr, &nAdded)) {
        return EAdd::Failed;
    }
    if (nAdded == 0) {
        return EAdd::Exists;
    }
    int64_t nTotal = 0;
    bool bOk = true;
    for (const auto& row : vecRows) {
        nTotal += row.nSize;
        bOk = bOk && session->Run(
                         "INSERT INTO archives (member_id, category, object_key, size) VALUES "
                         "($1, $2, $3, $4)",
                         {member.strId, row.strCategory, row.strKey, row.nSize});
    }
    bOk = bOk &&
          session->Run("UPDATE totals SET bytes = bytes + $1 WHERE name = 'stored'", {nTotal}) &&
          transaction.Commit();
    return bOk ? EAdd::Added : EAdd::Failed;
}

}  // namespace zavsvc
