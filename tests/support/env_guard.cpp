#include "env_guard.h"

#include <stdlib.h>

#include "platform/native_text.h"

namespace {

// Values are UTF-8; on Windows they are set as UTF-16, so that text such as a Korean path
// arrives whole. An empty value removes the variable there, and the program treats empty as
// unset.
void SetVariable(const std::string& strName, const std::string& strValue) {
#ifdef _WIN32
    _wputenv_s(WideFromUtf8(strName).c_str(), WideFromUtf8(strValue).c_str());
#else
    setenv(strName.c_str(), strValue.c_str(), 1);
#endif
}

void UnsetVariable(const std::string& strName) {
#ifdef _WIN32
    _wputenv_s(WideFromUtf8(strName).c_str(), L"");
#else
    unsetenv(strName.c_str());
#endif
}

}  // namespace

void CEnvGuard::Remember(const std::string& strName) {
    SSaved saved;
    saved.strName = strName;
    if (std::optional<std::string> value = GetEnvironmentUtf8(strName.c_str())) {
        saved.bWasSet = true;
        saved.strValue = std::move(*value);
    }
    m_vecSaved.push_back(std::move(saved));
}

CEnvGuard& CEnvGuard::Set(const std::string& strName, const std::string& strValue) {
    Remember(strName);
    SetVariable(strName, strValue);
    return *this;
}

CEnvGuard& CEnvGuard::Unset(const std::string& strName) {
    Remember(strName);
    UnsetVariable(strName);
    return *this;
}

CEnvGuard::~CEnvGuard() {
    // Newest first, so a variable set twice ends with its value from before the first.
    for (auto it = m_vecSaved.rbegin(); it != m_vecSaved.rend(); ++it) {
        if (it->bWasSet)
            SetVariable(it->strName, it->strValue);
        else
            UnsetVariable(it->strName);
    }
}
