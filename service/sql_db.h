#pragma once
// One small seam over the two SQL databases the service keeps its members in: SQLite in the
// data folder (one process) and PostgreSQL through libpq (any number of instances). Statements
// are written once, with $1, $2 ... for their values; the few spots where the two dialects
// differ ask Dialect().

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace zavsvc {

// A statement's value: a 64-bit integer or a text.
struct SSqlValue {
    SSqlValue(int64_t n) : bText(false), nValue(n) {}  // NOLINT: values are written inline
    SSqlValue(int n) : bText(false), nValue(n) {}      // NOLINT
    SSqlValue(std::string_view text) : bText(true), strValue(text) {}  // NOLINT
    SSqlValue(const char* psz) : bText(true), strValue(psz) {}         // NOLINT
    SSqlValue(const std::string& str) : bText(true), strValue(str) {}  // NOLINT
    bool bText;
    int64_t nValue = 0;
    std::string strValue;
};

// A result row, every column as text (NULL as empty text).
using SqlRow = std::vector<std::string>;

enum class ESqlDialect { Sqlite, Postgres };

// One connection, held for a statement or a transaction.
class ISqlSession {
public:
    virtual ~ISqlSession() = default;
    // Runs one statement; its rows go to *pRows and the count of rows it changed to *pnChanged.
    // False on failure, with Error() telling why.
    virtual bool Run(const std::string& strSql, const std::vector<SSqlValue>& vecParams,
                     std::vector<SqlRow>* pRows = nullptr, int64_t* pnChanged = nullptr) = 0;
    // The last failure was a unique or primary key violation.
    virtual bool WasUniqueViolation() const = 0;
    virtual std::string Error() const = 0;
};

class ISqlDatabase {
public:
    virtual ~ISqlDatabase() = default;
    virtual ESqlDialect Dialect() const = 0;
    // A connection for the caller alone until the session is destroyed; nullptr (with the
    // reason) when the database cannot be reached.
    virtual std::unique_ptr<ISqlSession> Take(std::string* pStrError) = 0;
};

// A transaction over a session, rolled back unless committed. SQLite's takes the write lock
// at once (BEGIN IMMEDIATE), so that its reads and writes are one step against other writers.
class CSqlTransaction {
public:
    CSqlTransaction(ISqlSession& session, ESqlDialect eDialect);
    ~CSqlTransaction();
    CSqlTransaction(const CSqlTransaction&) = delete;
    CSqlTransaction& operator=(const CSqlTransaction&) = delete;
    bool Begun() const { return m_bBegun; }
    bool Commit();

private:
    ISqlSession& m_session;
    bool m_bBegun = false;
};

// DIR/zav.db, created when missing (WAL journal, full sync). nullptr with the reason.
std::unique_ptr<ISqlDatabase> OpenSqlite(const std::string& strPath, std::string* pStrError);

// A PostgreSQL database named by a libpq connection string or URI
// ("postgresql://USER@HOST:PORT/DB"), with at most nConnections connections at once. The
// first connection is made here, so that a wrong address is reported at start.
std::unique_ptr<ISqlDatabase> OpenPostgres(const std::string& strConnection, size_t nConnections,
                                           std::string* pStrError);

// True when the text names a PostgreSQL database (postgresql:// or postgres://).
bool IsPostgresUri(std::string_view text);

}  // namespace zavsvc
