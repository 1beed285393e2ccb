#include "env_guard.h"

#include <stdlib.h>

void CEnvGuard::Remember(const std::string& strName) {
    SSaved saved;
    saved.strName = strName;
    if (const char* psz = getenv(strName.c_str()); psz != nullptr) {
        saved.bWasSet = true;
        saved.strValue = psz;
    }
    m_vecSaved.push_back(std::move(saved));
}

CEnvGuard& CEnvGuard::Set(const std::string& strName, const std::string& strValue) {
    Remember(strName);
    setenv(strName.c_str(), strValue.c_str(), 1);
    return *this;
}

CEnvGuard& CEnvGuard::Unset(const std::string& strName) {
    Remember(strName);
    unsetenv(strName.c_str());
    return *this;
}

CEnvGuard::~CEnvGuard() {
    // Newest first, so a variable set twice ends with its value from before the first.
    for (auto it = m_vecSaved.rbegin(); it != m_vecSaved.rend(); ++it) {
        if (it->bWasSet)
            setenv(it->strName.c_str(), it->strValue.c_str(), 1);
        else
            unsetenv(it->strName.c_str());
    }
}
