#include "service/sql_db.h"

#include <libpq-fe.h>
#include <sqlite3.h>

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace zavsvc {
namespace {

// ---- SQLite: one connection, one statement or transaction at a time ----

class CSqliteDatabase;

class CSqliteSession : public ISqlSession {
public:
    CSqliteSession(sqlite3* pDb, std::unique_lock<std::mutex> lock)
        : m_pDb(pDb), m_lock(std::move(lock)) {}

    bool Run(const std::string& strSql, const std::vector<SSqlValue>& vecParams,
             std::vector<SqlRow>* pRows, int64_t* pnChanged) override {
        m_bUnique = false;
        sqlite3_stmt* pRaw = nullptr;
        if (sqlite3_prepare_v2(m_pDb, strSql.c_str(), -1, &pRaw, nullptr) != SQLITE_OK) {
            return Fail();
        }
        std::unique_ptr<sqlite3_stmt, decltype(&sqlite3_finalize)> stmt(pRaw, sqlite3_finalize);
        for (size_t i = 0; i < vecParams.size(); ++i) {
            const std::string strName = "$" + std::to_string(i + 1);
            const int nIndex = sqlite3_bind_parameter_index(stmt.get(), strName.c_str());
            if (nIndex == 0) {
                continue;  // not used by this statement
            }
            const SSqlValue& value = vecParams[i];
            const int rc =
                value.bText
                    ? sqlite3_bind_text(stmt.get(), nIndex, value.strValue.data(),
                                        static_cast<int>(value.strValue.size()), SQLITE_TRANSIENT)
                    : sqlite3_bind_int64(stmt.get(), nIndex, value.nValue);
            if (rc != SQLITE_OK) {
                return Fail();
            }
        }
        int rc;
        while ((rc = sqlite3_step(stmt.get())) == SQLITE_ROW) {
            if (pRows == nullptr) {
                continue;
            }
            SqlRow row;
            for (int c = 0; c < sqlite3_column_count(stmt.get()); ++c) {
                const unsigned char* p = sqlite3_column_text(stmt.get(), c);
                const int n = sqlite3_column_bytes(stmt.get(), c);
                row.emplace_back(p == nullptr ? ""
                                              : std::string(reinterpret_cast<const char*>(p),
                                                            static_cast<size_t>(n)));
            }
            pRows->push_back(std::move(row));
        }
        if (rc != SQLITE_DONE) {
            return Fail();
        }
        if (pnChanged != nullptr) {
            *pnChanged = sqlite3_changes(m_pDb);
        }
        return true;
    }
    bool WasUniqueViolation() const override { return m_bUnique; }
    std::string Error() const override { return m_strError; }

private:
    bool Fail() {
        const int nCode = sqlite3_extended_errcode(m_pDb);
        m_bUnique = nCode == SQLITE_CONSTRAINT_PRIMARYKEY || nCode == SQLITE_CONSTRAINT_UNIQUE;
        m_strError = sqlite3_errmsg(m_pDb);
        return false;
    }

    sqlite3* m_pDb;
    std::unique_lock<std::mutex> m_lock;
    bool m_bUnique = false;
    std::string m_strError;
};

class CSqliteDatabase : public ISqlDatabase {
public:
    explicit CSqliteDatabase(sqlite3* pDb) : m_pDb(pDb) {}
    ~CSqliteDatabase() override { sqlite3_close(m_pDb); }
    ESqlDialect Dialect() const override { return ESqlDialect::Sqlite; }
    std::unique_ptr<ISqlSession> Take(std::string*) override {
        return std::make_unique<CSqliteSession>(m_pDb, std::unique_lock(m_mutex));
    }

private:
    sqlite3* m_pDb;
    std::mutex m_mutex;
};

// ---- PostgreSQL: a small pool of connections ----

constexpr Oid kInt8Oid = 20;
constexpr Oid kTextOid = 25;
// How long a request waits for a free connection before it is answered "unavailable".
constexpr auto kPoolWait = std::chrono::seconds(10);

void IgnoreNotice(void*, const char*) {}

// libpq's messages span lines; the log has one line per event.
std::string OneLine(const char* psz) {
    std::string str(psz == nullptr ? "" : psz);
    for (char& c : str) {
        c = (c == '\n' || c == '\t') ? ' ' : c;
    }
    while (!str.empty() && str.back() == ' ') {
        str.pop_back();
    }
    return str;
}

class CPostgresDatabase;

class CPostgresSession : public ISqlSession {
public:
    CPostgresSession(CPostgresDatabase& db, PGconn* pConn) : m_db(db), m_pConn(pConn) {}
    ~CPostgresSession() override;

    bool Run(const std::string& strSql, const std::vector<SSqlValue>& vecParams,
             std::vector<SqlRow>* pRows, int64_t* pnChanged) override {
        m_bUnique = false;
        std::vector<std::string> vecText;
        vecText.reserve(vecParams.size());
        std::vector<Oid> vecTypes;
        for (const auto& value : vecParams) {
            vecText.push_back(value.bText ? value.strValue : std::to_string(value.nValue));
            vecTypes.push_back(value.bText ? kTextOid : kInt8Oid);
        }
        std::vector<const char*> vecValues;
        for (const auto& str : vecText) {
            vecValues.push_back(str.c_str());
        }
        std::unique_ptr<PGresult, decltype(&PQclear)> result(
            PQexecParams(m_pConn, strSql.c_str(), static_cast<int>(vecValues.size()),
                         vecTypes.data(), vecValues.data(), nullptr, nullptr, 0),
            PQclear);
        const ExecStatusType eStatus = result ? PQresultStatus(result.get()) : PGRES_FATAL_ERROR;
        if (eStatus != PGRES_COMMAND_OK && eStatus != PGRES_TUPLES_OK) {
            const char* pszState =
                result ? PQresultErrorField(result.get(), PG_DIAG_SQLSTATE) : nullptr;
            m_bUnique = pszState != nullptr && std::string_view(pszState) == "23505";
            m_strError = OneLine(PQerrorMessage(m_pConn));
            return false;
        }
        if (pRows != nullptr) {
            const int nRows = PQntuples(result.get());
            const int nColumns = PQnfields(result.get());
            for (int r = 0; r < nRows; ++r) {
                SqlRow row;
                for (int c = 0; c < nColumns; ++c) {
                    row.emplace_back(PQgetvalue(result.get(), r, c),
                                     static_cast<size_t>(PQgetlength(result.get(), r, c)));
                }
                pRows->push_back(std::move(row));
            }
        }
        if (pnChanged != nullptr) {
            const char* pszCount = PQcmdTuples(result.get());
            *pnChanged = pszCount != nullptr && *pszCount != '\0' ? std::atoll(pszCount) : 0;
        }
        return true;
    }
    bool WasUniqueViolation() const override { return m_bUnique; }
    std::string Error() const override { return m_strError; }

private:
    CPostgresDatabase& m_db;
    PGconn* m_pConn;
    bool m_bUnique = false;
    std::string m_strError;
};

class CPostgresDatabase : public ISqlDatabase {
public:
    CPostgresDatabase(std::string strConnection, size_t nConnections)
        : m_strConnection(std::move(strConnection)), m_nMax(nConnections == 0 ? 1 : nConnections) {}
    ~CPostgresDatabase() override {
        for (PGconn* p : m_vecIdle) {
            PQfinish(p);
        }
    }
    ESqlDialect Dialect() const override { return ESqlDialect::Postgres; }

    std::unique_ptr<ISqlSession> Take(std::string* pStrError) override {
        std::unique_lock lock(m_mutex);
        if (!m_cv.wait_for(lock, kPoolWait,
                           [this] { return !m_vecIdle.empty() || m_nOpen < m_nMax; })) {
            *pStrError = "every database connection is busy";
            return nullptr;
        }
        PGconn* pConn = nullptr;
        if (!m_vecIdle.empty()) {
            pConn = m_vecIdle.back();
            m_vecIdle.pop_back();
        }
        ++m_nOpen;  // counted before connecting, so that the pool's bound holds meanwhile
        lock.unlock();
        if (pConn != nullptr && PQstatus(pConn) != CONNECTION_OK) {
            PQfinish(pConn);
            pConn = nullptr;
        }
        if (pConn == nullptr) {
            pConn = Connect(pStrError);
            if (pConn == nullptr) {
                Give(nullptr);
                return nullptr;
            }
        }
        return std::make_unique<CPostgresSession>(*this, pConn);
    }

    // A session's connection comes back: kept when it still works and is outside a
    // transaction, else closed.
    void Give(PGconn* pConn) {
        if (pConn != nullptr &&
            (PQstatus(pConn) != CONNECTION_OK || PQtransactionStatus(pConn) != PQTRANS_IDLE)) {
            PQfinish(pConn);
            pConn = nullptr;
        }
        std::lock_guard lock(m_mutex);
        --m_nOpen;
        if (pConn != nullptr) {
            m_vecIdle.push_back(pConn);
        }
        m_cv.notify_one();
    }

private:
    PGconn* Connect(std::string* pStrError) {
        // Defaults first: what the connection string says itself overrides them.
        const char* apszKeys[] = {"connect_timeout", "application_name", "options", "dbname",
                                  nullptr};
        const char* apszValues[] = {"5", "zav-service", "-c statement_timeout=20000",
                                    m_strConnection.c_str(), nullptr};
        PGconn* pConn = PQconnectdbParams(apszKeys, apszValues, 1);
        if (pConn == nullptr || PQstatus(pConn) != CONNECTION_OK) {
            *pStrError = pConn == nullptr ? "out of memory" : OneLine(PQerrorMessage(pConn));
            PQfinish(pConn);
            return nullptr;
        }
        PQsetNoticeProcessor(pConn, IgnoreNotice, nullptr);
        return pConn;
    }

    const std::string m_strConnection;
    const size_t m_nMax;
    std::mutex m_mutex;
    std::condition_variable m_cv;
    std::vector<PGconn*> m_vecIdle;
    size_t m_nOpen = 0;  // connections handed out, or being made
};

CPostgresSession::~CPostgresSession() {
    m_db.Give(m_pConn);
}

}  // namespace

CSqlTransaction::CSqlTransaction(ISqlSession& session, ESqlDialect eDialect) : m_session(session) {
    m_bBegun = m_session.Run(eDialect == ESqlDialect::Sqlite ? "BEGIN IMMEDIATE" : "BEGIN", {});
}

CSqlTransaction::~CSqlTransaction() {
    if (m_bBegun) {
        m_session.Run("ROLLBACK", {});
    }
}

bool CSqlTransaction::Commit() {
    if (!m_bBegun || !m_session.Run("COMMIT", {})) {
        return false;
    }
    m_bBegun = false;
    return true;
}

std::unique_ptr<ISqlDatabase> OpenSqlite(const std::string& strPath, std::string* pStrError) {
    sqlite3* pDb = nullptr;
    const int rc = sqlite3_open_v2(
        strPath.c_str(), &pDb, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX,
        nullptr);
    if (rc != SQLITE_OK) {
        *pStrError = strPath + ": " + (pDb ? sqlite3_errmsg(pDb) : sqlite3_errstr(rc));
        sqlite3_close(pDb);
        return nullptr;
    }
    sqlite3_busy_timeout(pDb, 5000);
    for (const char* pszPragma : {"PRAGMA journal_mode=WAL", "PRAGMA synchronous=FULL"}) {
        if (sqlite3_exec(pDb, pszPragma, nullptr, nullptr, nullptr) != SQLITE_OK) {
            *pStrError = strPath + ": " + sqlite3_errmsg(pDb);
            sqlite3_close(pDb);
            return nullptr;
        }
    }
    return std::make_unique<CSqliteDatabase>(pDb);
}

std::unique_ptr<ISqlDatabase> OpenPostgres(const std::string& strConnection, size_t nConnections,
                                           std::string* pStrError) {
    auto pDb = std::make_unique<CPostgresDatabase>(strConnection, nConnections);
    if (!pDb->Take(pStrError)) {
        return nullptr;
    }
    return pDb;
}

bool IsPostgresUri(std::string_view text) {
    return text.rfind("postgresql://", 0) == 0 || text.rfind("postgres://", 0) == 0;
}

}  // namespace zavsvc
