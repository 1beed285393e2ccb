// Sets and unsets environment variables for one scope; the destructor gives every variable it
// touched its value from before (or unsets it again). Values are UTF-8 on every system.
#pragma once

#include <string>
#include <vector>

class CEnvGuard {
public:
    CEnvGuard() = default;
    CEnvGuard(const std::string& strName, const std::string& strValue) { Set(strName, strValue); }
    ~CEnvGuard();
    CEnvGuard(const CEnvGuard&) = delete;
    CEnvGuard& operator=(const CEnvGuard&) = delete;

    CEnvGuard& Set(const std::string& strName, const std::string& strValue);
    CEnvGuard& Unset(const std::string& strName);

private:
    void Remember(const std::string& strName);

    struct SSaved {
        std::string strName;
        bool bWasSet = false;
        std::string strValue;
    };
    std::vector<SSaved> m_vecSaved;
};
