#pragma once
// Members and their metadata in SQLite: password hash, nickname, last upload time, the address
// of the last successful login, and the count of failed logins.

#include <sqlite3.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zavsvc {

struct SMember {
    std::string strId;
    std::string strPasswordHash;
    std::string strNickname;     // UTF-8
    std::string strLastUpload;   // "YYYY-MM-DD HH:MM:SS" or empty
    std::string strSessionAddr;  // client address of the last successful login
    int64_t nSessionTimeMs = 0;
    int nFailures = 0;  // consecutive failed logins
    int64_t nLockedUntilMs = 0;
};

struct SSqliteCloser {
    void operator()(sqlite3* p) const { sqlite3_close(p); }
};
struct SStatementCloser {
    void operator()(sqlite3_stmt* p) const { sqlite3_finalize(p); }
};
using SqlitePtr = std::unique_ptr<sqlite3, SSqliteCloser>;
using StatementPtr = std::unique_ptr<sqlite3_stmt, SStatementCloser>;

class CMemberStore {
public:
    enum class EAdd { Added, Exists, Failed };

    // Opens (and creates) DIR/zav.db. The error text is set on failure.
    bool Open(const std::string& strDataDir, std::string* pStrError);

    std::optional<SMember> Find(std::string_view id);
    std::vector<SMember> List();
    EAdd Add(std::string_view id, std::string_view hash, std::string_view nickname);
    // Adds the member or replaces its password and nickname.
    bool Upsert(std::string_view id, std::string_view hash, std::string_view nickname);
    bool Remove(std::string_view id);

    // Binds the member to the address and clears the failure count.
    bool RecordLoginSuccess(std::string_view id, std::string_view addr, int64_t nNowMs);
    // Counts a failure; from the fifth on, further logins wait 1 s, 2 s, 4 s ... up to 60 s.
    bool RecordLoginFailure(std::string_view id, int64_t nNowMs);
    bool SetLastUpload(std::string_view id, std::string_view text);

private:
    StatementPtr Prepare(const char* pszSql);
    bool Exec(const char* pszSql);

    std::mutex m_mutex;
    SqlitePtr m_db;
};

int64_t NowMs();

}  // namespace zavsvc
