#include "service/member_store.h"

#include <algorithm>
#include <chrono>

namespace zavsvc {
namespace {

constexpr const char* kSchema =
    "CREATE TABLE IF NOT EXISTS members ("
    " id TEXT PRIMARY KEY NOT NULL,"
    " password TEXT NOT NULL,"
    " nickname TEXT NOT NULL,"
    " last_upload TEXT NOT NULL DEFAULT '',"
    " session_addr TEXT NOT NULL DEFAULT '',"
    " session_time INTEGER NOT NULL DEFAULT 0,"
    " failures INTEGER NOT NULL DEFAULT 0,"
    " locked_until INTEGER NOT NULL DEFAULT 0)";

constexpr const char* kColumns =
    "id, password, nickname, last_upload, session_addr, session_time, failures, locked_until";

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
    member.nFailures = sqlite3_column_int(pStmt, 6);
    member.nLockedUntilMs = sqlite3_column_int64(pStmt, 7);
    return member;
}

}  // namespace

int64_t NowMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

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

bool CMemberStore::RecordLoginSuccess(std::string_view id, std::string_view addr, int64_t nNowMs) {
    std::lock_guard lock(m_mutex);
    auto stmt = Prepare(
        "UPDATE members SET session_addr = ?2, session_time = ?3, failures = 0, locked_until = 0 "
        "WHERE id = ?1");
    if (!stmt) {
        return false;
    }
    Bind(stmt.get(), 1, id);
    Bind(stmt.get(), 2, addr);
    sqlite3_bind_int64(stmt.get(), 3, nNowMs);
    return sqlite3_step(stmt.get()) == SQLITE_DONE;
}

bool CMemberStore::RecordLoginFailure(std::string_view id, int64_t nNowMs) {
    std::lock_guard lock(m_mutex);
    auto select = Prepare("SELECT failures FROM members WHERE id = ?1");
    if (!select) {
        return false;
    }
    Bind(select.get(), 1, id);
    if (sqlite3_step(select.get()) != SQLITE_ROW) {
        return false;
    }
    int nFailures = sqlite3_column_int(select.get(), 0) + 1;
    int64_t nLockedUntil = 0;
    if (nFailures >= 5) {
        int nShift = std::min(nFailures - 5, 6);
        nLockedUntil = nNowMs + std::min<int64_t>(int64_t{1000} << nShift, 60000);
    }
    auto update = Prepare("UPDATE members SET failures = ?2, locked_until = ?3 WHERE id = ?1");
    if (!update) {
        return false;
    }
    Bind(update.get(), 1, id);
    sqlite3_bind_int(update.get(), 2, nFailures);
    sqlite3_bind_int64(update.get(), 3, nLockedUntil);
    return sqlite3_step(update.get()) == SQLITE_DONE;
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
