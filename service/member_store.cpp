#include "service/member_store.h"

#include <algorithm>

#include "service/password.h"

namespace zavsvc {
namespace {

// The members' failures and locked_until columns are no longer used (failed logins are kept
// per id and address in login_failures); they stay so that older databases open unchanged.
constexpr const char* kSchema =
    "CREATE TABLE IF NOT EXISTS members ("
    " id TEXT PRIMARY KEY NOT NULL,"
    " password TEXT NOT NULL,"
    " nickname TEXT NOT NULL,"
    " last_upload TEXT NOT NULL DEFAULT '',"
    " session_addr TEXT NOT NULL DEFAULT '',"
    " session_time INTEGER NOT NULL DEFAULT 0,"
    " failures INTEGER NOT NULL DEFAULT 0,"
    " locked_until INTEGER NOT NULL DEFAULT 0);"
    // key: the address alone (every id from it), or address LF id (an address never holds LF).
    "CREATE TABLE IF NOT EXISTS login_failures ("
    " key TEXT PRIMARY KEY NOT NULL,"
    " failures INTEGER NOT NULL,"
    " last_failure INTEGER NOT NULL,"
    " locked_until INTEGER NOT NULL) WITHOUT ROWID";

constexpr const char* kColumns = "id, password, nickname, last_upload, session_addr, session_time";

constexpr int kFreeFailuresPerId = 5;        // of one id from one address
constexpr int kFreeFailuresPerAddress = 20;  // of one address across ids
constexpr int64_t kFirstWaitMs = 1000;
constexpr int64_t kMaxWaitMs = 60000;
constexpr int64_t kForgetMs = int64_t{24} * 3600 * 1000;
constexpr int64_t kPruneEveryMs = int64_t{3600} * 1000;

std::string IdKey(std::string_view addr, std::string_view id) {
    return std::string(addr) + "\n" + std::string(id);
}

void Bind(sqlite3_stmt* pStmt, int nIndex, std::string_view text) {
    sqlite3_bind_text(pStmt, nIndex, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
}

std::string ColumnText(sqlite3_stmt* pStmt, int nIndex) {
    const unsigned char* p = sqlite3_column_text(pStmt, nIndex);
    int n = sqlite3_column_bytes(pStmt, nIndex);
    return p == nullptr ? std::string()
                        : std::string(reinterpret_cast<const char*>(p), static_cast<size_t>(n));
}

SMember ReadMember(sqlite3_stmt* pStmt) {
    SMember member;
    member.strId = ColumnText(pStmt, 0);
    member.strPasswordHash = ColumnText(pStmt, 1);
    member.strNickname = ColumnText(pStmt, 2);
    member.strLastUpload = ColumnText(pStmt, 3);
    member.strSessionAddr = ColumnText(pStmt, 4);
    member.nSessionTimeMs = sqlite3_column_int64(pStmt, 5);
    return member;
}

// A transaction that takes the write lock at once; rolled back unless committed.
class CTransaction {
public:
    explicit CTransaction(sqlite3* pDb) : m_pDb(pDb) {
        m_bBegun = sqlite3_exec(m_pDb, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) == SQLITE_OK;
    }
    ~CTransaction() {
        if (m_bBegun) {
            sqlite3_exec(m_pDb, "ROLLBACK", nullptr, nullptr, nullptr);
        }
    }
    CTransaction(const CTransaction&) = delete;
    CTransaction& operator=(const CTransaction&) = delete;
    bool Begun() const { return m_bBegun; }
    bool Commit() {
        if (!m_bBegun || sqlite3_exec(m_pDb, "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK) {
            return false;
        }
        m_bBegun = false;
        return true;
    }

private:
    sqlite3* m_pDb;
    bool m_bBegun = false;
};

}  // namespace

bool CMemberStore::Open(const std::string& strDataDir, std::string* pStrError) {
    std::lock_guard lock(m_mutex);
    sqlite3* pDb = nullptr;
    std::string strPath = strDataDir + "/zav.db";
    int rc = sqlite3_open_v2(strPath.c_str(), &pDb,
                             SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX,
                             nullptr);
    m_db.reset(pDb);
    if (rc != SQLITE_OK) {
        *pStrError = strPath + ": " + (pDb ? sqlite3_errmsg(pDb) : sqlite3_errstr(rc));
        m_db.reset();
        return false;
    }
    sqlite3_busy_timeout(m_db.get(), 5000);
    if (!Exec("PRAGMA journal_mode=WAL") || !Exec("PRAGMA synchronous=FULL") || !Exec(kSchema)) {
        *pStrError = strPath + ": " + sqlite3_errmsg(m_db.get());
        m_db.reset();
        return false;
    }
    return true;
}

bool CMemberStore::Exec(const char* pszSql) {
    return sqlite3_exec(m_db.get(), pszSql, nullptr, nullptr, nullptr) == SQLITE_OK;
}

StatementPtr CMemberStore::Prepare(const char* pszSql) {
    sqlite3_stmt* pStmt = nullptr;
    if (sqlite3_prepare_v2(m_db.get(), pszSql, -1, &pStmt, nullptr) != SQLITE_OK) {
        return nullptr;
    }
    return StatementPtr(pStmt);
}

std::optional<SMember> CMemberStore::Find(std::string_view id) {
    std::lock_guard lock(m_mutex);
    std::string strSql = std::string("SELECT ") + kColumns + " FROM members WHERE id = ?1";
    auto stmt = Prepare(strSql.c_str());
    if (!stmt) {
        return std::nullopt;
    }
    Bind(stmt.get(), 1, id);
    if (sqlite3_step(stmt.get()) != SQLITE_ROW) {
        return std::nullopt;
    }
    return ReadMember(stmt.get());
}

std::vector<SMember> CMemberStore::List() {
    std::lock_guard lock(m_mutex);
    std::vector<SMember> vec;
    std::string strSql = std::string("SELECT ") + kColumns + " FROM members ORDER BY id";
    auto stmt = Prepare(strSql.c_str());
    while (stmt && sqlite3_step(stmt.get()) == SQLITE_ROW) {
        vec.push_back(ReadMember(stmt.get()));
    }
    return vec;
}

int CMemberStore::MaxHashCost() {
    std::lock_guard lock(m_mutex);
    int nMax = 0;
    auto stmt = Prepare("SELECT password FROM members");
    while (stmt && sqlite3_step(stmt.get()) == SQLITE_ROW) {
        nMax = std::max(nMax, HashCost(ColumnText(stmt.get(), 0)));
    }
    return nMax;
}

CMemberStore::EAdd CMemberStore::Add(std::string_view id, std::string_view hash,
                                     std::string_view nickname) {
    std::lock_guard lock(m_mutex);
    auto stmt = Prepare("INSERT INTO members (id, password, nickname) VALUES (?1, ?2, ?3)");
    if (!stmt) {
        return EAdd::Failed;
    }
    Bind(stmt.get(), 1, id);
    Bind(stmt.get(), 2, hash);
    Bind(stmt.get(), 3, nickname);
    int rc = sqlite3_step(stmt.get());
    if (rc == SQLITE_DONE) {
        return EAdd::Added;
    }
    return sqlite3_extended_errcode(m_db.get()) == SQLITE_CONSTRAINT_PRIMARYKEY ? EAdd::Exists
                                                                                : EAdd::Failed;
}

bool CMemberStore::Upsert(std::string_view id, std::string_view hash, std::string_view nickname) {
    std::lock_guard lock(m_mutex);
    auto stmt = Prepare(
        "INSERT INTO members (id, password, nickname) VALUES (?1, ?2, ?3) "
        "ON CONFLICT(id) DO UPDATE SET password = excluded.password, nickname = excluded.nickname");
    if (!stmt) {
        return false;
    }
    Bind(stmt.get(), 1, id);
    Bind(stmt.get(), 2, hash);
    Bind(stmt.get(), 3, nickname);
    return sqlite3_step(stmt.get()) == SQLITE_DONE;
}

bool CMemberStore::Remove(std::string_view id) {
    std::lock_guard lock(m_mutex);
    auto stmt = Prepare("DELETE FROM members WHERE id = ?1");
    if (!stmt) {
        return false;
    }
    Bind(stmt.get(), 1, id);
    return sqlite3_step(stmt.get()) == SQLITE_DONE && sqlite3_changes(m_db.get()) > 0;
}

bool CMemberStore::ReadFailures(const std::string& strKey, int64_t nNowMs, SFailures& rOut) {
    auto stmt = Prepare(
        "SELECT failures, last_failure, locked_until FROM login_failures "
        "WHERE key = ?1");
    if (!stmt) {
        return false;
    }
    Bind(stmt.get(), 1, strKey);
    rOut = SFailures();
    int rc = sqlite3_step(stmt.get());
    if (rc == SQLITE_ROW) {
        rOut.nCount = sqlite3_column_int(stmt.get(), 0);
        rOut.nLastMs = sqlite3_column_int64(stmt.get(), 1);
        rOut.nLockedUntilMs = sqlite3_column_int64(stmt.get(), 2);
        if (nNowMs - rOut.nLastMs > kForgetMs) {
            rOut = SFailures();
        }
        return true;
    }
    return rc == SQLITE_DONE;
}

bool CMemberStore::WriteFailures(const std::string& strKey, const SFailures& failures) {
    auto stmt = Prepare(
        "INSERT INTO login_failures (key, failures, last_failure, locked_until) "
        "VALUES (?1, ?2, ?3, ?4) ON CONFLICT(key) DO UPDATE SET failures = excluded.failures, "
        "last_failure = excluded.last_failure, locked_until = excluded.locked_until");
    if (!stmt) {
        return false;
    }
    Bind(stmt.get(), 1, strKey);
    sqlite3_bind_int(stmt.get(), 2, failures.nCount);
    sqlite3_bind_int64(stmt.get(), 3, failures.nLastMs);
    sqlite3_bind_int64(stmt.get(), 4, failures.nLockedUntilMs);
    return sqlite3_step(stmt.get()) == SQLITE_DONE;
}

CMemberStore::EGate CMemberStore::ReserveLoginAttempt(std::string_view id, std::string_view addr,
                                                      int64_t nNowMs) {
    std::lock_guard lock(m_mutex);
    CTransaction transaction(m_db.get());
    const std::string strIdKey = IdKey(addr, id);
    const std::string strAddrKey(addr);
    SFailures ofId, ofAddr;
    if (!transaction.Begun() || !ReadFailures(strIdKey, nNowMs, ofId) ||
        !ReadFailures(strAddrKey, nNowMs, ofAddr)) {
        return EGate::StoreFailed;
    }
    if (nNowMs < ofId.nLockedUntilMs || nNowMs < ofAddr.nLockedUntilMs) {
        return EGate::Throttled;
    }
    auto count = [nNowMs](SFailures& r, int nFree) {
        ++r.nCount;
        r.nLastMs = nNowMs;
        r.nLockedUntilMs = 0;
        if (r.nCount >= nFree) {
            int nShift = std::min(r.nCount - nFree, 6);
            r.nLockedUntilMs = nNowMs + std::min(kFirstWaitMs << nShift, kMaxWaitMs);
        }
    };
    count(ofId, kFreeFailuresPerId);
    count(ofAddr, kFreeFailuresPerAddress);
    if (!WriteFailures(strIdKey, ofId) || !WriteFailures(strAddrKey, ofAddr)) {
        return EGate::StoreFailed;
    }
    if (nNowMs - m_nLastPruneMs > kPruneEveryMs) {
        auto prune = Prepare("DELETE FROM login_failures WHERE last_failure < ?1");
        if (!prune) {
            return EGate::StoreFailed;
        }
        sqlite3_bind_int64(prune.get(), 1, nNowMs - kForgetMs);
        if (sqlite3_step(prune.get()) != SQLITE_DONE) {
            return EGate::StoreFailed;
        }
    }
    if (!transaction.Commit()) {
        return EGate::StoreFailed;
    }
    if (nNowMs - m_nLastPruneMs > kPruneEveryMs) {
        m_nLastPruneMs = nNowMs;
    }
    return EGate::Open;
}

bool CMemberStore::RecordLoginSuccess(std::string_view id, std::string_view addr,
                                      std::string_view strBindAddr, int64_t nNowMs) {
    std::lock_guard lock(m_mutex);
    CTransaction transaction(m_db.get());
    auto clear = Prepare("DELETE FROM login_failures WHERE key = ?1");
    // The address's failure reserved for this attempt is taken back, and with it a wait the
    // reservation itself started.
    auto takeBack = Prepare(
        "UPDATE login_failures SET failures = MAX(failures - 1, 0), locked_until = CASE WHEN "
        "failures - 1 >= ?2 THEN locked_until ELSE 0 END WHERE key = ?1");
    auto bind = Prepare("UPDATE members SET session_addr = ?2, session_time = ?3 WHERE id = ?1");
    if (!transaction.Begun() || !clear || !takeBack || !bind) {
        return false;
    }
    Bind(clear.get(), 1, IdKey(addr, id));
    Bind(takeBack.get(), 1, addr);
    sqlite3_bind_int(takeBack.get(), 2, kFreeFailuresPerAddress);
    Bind(bind.get(), 1, id);
    Bind(bind.get(), 2, strBindAddr);
    sqlite3_bind_int64(bind.get(), 3, nNowMs);
    return sqlite3_step(clear.get()) == SQLITE_DONE &&
           sqlite3_step(takeBack.get()) == SQLITE_DONE && sqlite3_step(bind.get()) == SQLITE_DONE &&
           sqlite3_changes(m_db.get()) > 0 && transaction.Commit();
}

bool CMemberStore::RecordLoginFailure(std::string_view id, std::string_view addr, int64_t nNowMs) {
    std::lock_guard lock(m_mutex);
    CTransaction transaction(m_db.get());
    auto restart = Prepare(
        "UPDATE login_failures SET locked_until = MAX(locked_until, ?2 + MIN(?4 << MIN(failures - "
        "?3, 6), ?5)) WHERE key = ?1 AND failures >= ?3");
    if (!transaction.Begun() || !restart) {
        return false;
    }
    for (const auto& [strKey, nFree] : {std::pair{IdKey(addr, id), kFreeFailuresPerId},
                                        std::pair{std::string(addr), kFreeFailuresPerAddress}}) {
        sqlite3_reset(restart.get());
        Bind(restart.get(), 1, strKey);
        sqlite3_bind_int64(restart.get(), 2, nNowMs);
        sqlite3_bind_int(restart.get(), 3, nFree);
        sqlite3_bind_int64(restart.get(), 4, kFirstWaitMs);
        sqlite3_bind_int64(restart.get(), 5, kMaxWaitMs);
        if (sqlite3_step(restart.get()) != SQLITE_DONE) {
            return false;
        }
    }
    return transaction.Commit();
}

bool CMemberStore::SetLastUpload(std::string_view id, std::string_view text) {
    std::lock_guard lock(m_mutex);
    auto stmt = Prepare("UPDATE members SET last_upload = ?2 WHERE id = ?1");
    if (!stmt) {
        return false;
    }
    Bind(stmt.get(), 1, id);
    Bind(stmt.get(), 2, text);
    return sqlite3_step(stmt.get()) == SQLITE_DONE;
}

}  // namespace zavsvc
