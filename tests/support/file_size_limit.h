// A real fault without a mount: while the object lives, every file this process writes fails
// past nBytes with EFBIG, as a full disk fails a write. SIGXFSZ is ignored meanwhile, so that
// the write fails instead of the process ending.
//
// Windows has no such per-process limit: there IsSet() is false, and a test that needs the
// limit starts with SKIP_WITHOUT_FILE_SIZE_LIMIT().
#pragma once

#ifdef _WIN32

#include <cstdint>

#define SKIP_WITHOUT_FILE_SIZE_LIMIT() \
    GTEST_SKIP() << "Windows has no per-process limit on file sizes"

class CFileSizeLimit {
public:
    explicit CFileSizeLimit(uint64_t /*nBytes*/) {}
    bool IsSet() const { return false; }
};

#else

#include <sys/resource.h>

#include <csignal>

#define SKIP_WITHOUT_FILE_SIZE_LIMIT() static_cast<void>(0)

class CFileSizeLimit {
public:
    explicit CFileSizeLimit(rlim_t nBytes) {
        m_pOldHandler = std::signal(SIGXFSZ, SIG_IGN);
        getrlimit(RLIMIT_FSIZE, &m_old);
        rlimit limit = m_old;
        limit.rlim_cur = nBytes;
        m_bSet = setrlimit(RLIMIT_FSIZE, &limit) == 0;
    }
    ~CFileSizeLimit() {
        setrlimit(RLIMIT_FSIZE, &m_old);
        std::signal(SIGXFSZ, m_pOldHandler);
    }
    CFileSizeLimit(const CFileSizeLimit&) = delete;
    CFileSizeLimit& operator=(const CFileSizeLimit&) = delete;
    bool IsSet() const { return m_bSet; }

private:
    rlimit m_old{};
    void (*m_pOldHandler)(int) = nullptr;
    bool m_bSet = false;
};

#endif
