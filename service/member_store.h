#pragma once
// Members and their metadata in SQLite: password hash, nickname, last upload time and the
// address of the last successful login; and the failed logins of every id and address, which
// slow down further attempts.

#include <sqlite3.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "service/clock.h"

namespace zavsvc {

struct SMember {
    std::string strId;
    std::string strPasswordHash;
    std::string strNickname;     // UTF-8
    std::string strLastUpload;   // "YYYY-MM-DD HH:MM:SS" or empty
    std::string strSessionAddr;  // client address of the last successful login
    int64_t nSessionTimeMs = 0;
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
    enum class EGate { Open, Throttled, StoreFailed };

    // Opens (and creates) DIR/zav.db. The error text is set on failure.
    bool Open(const std::string& strDataDir, std::string* pStrError);

    std::optional<SMember> Find(std::string_view id);
    std::vector<SMember> List();
    // The highest iteration count of the stored password hashes (HashCost); 0 without members.
    int MaxHashCost();
    EAdd Add(std::string_view id, std::string_view hash, std::string_view nickname);
    // Adds the member or replaces its password and nickname.
    bool Upsert(std::string_view id, std::string_view hash, std::string_view nickname);
    bool Remove(std::string_view id);

    // Takes one login attempt of the id (known or not) from the address, counted as a failure
    // until RecordLoginSuccess says otherwise. The check of the slow-down and the count are
    // one transaction, so parallel attempts get no more password checks than sequential ones.
    // From the fifth failure of an id from one address, and from the twentieth of one address
    // across ids, further attempts of that id or address wait 1 s, 2 s, 4 s ... up to 60 s.
    // Failures are forgotten a day after the last one.
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

private:
    struct SFailures {
        int nCount = 0;
        int64_t nLastMs = 0;
        int64_t nLockedUntilMs = 0;
    };

    StatementPtr Prepare(const char* pszSql);
    bool Exec(const char* pszSql);
    bool ReadFailures(const std::string& strKey, int64_t nNowMs, SFailures& rOut);
    bool WriteFailures(const std::string& strKey, const SFailures& failures);

    std::mutex m_mutex;
    SqlitePtr m_db;
    int64_t m_nLastPruneMs = 0;
};

}  // namespace zavsvc
