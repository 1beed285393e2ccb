// Environment variables for tests, the same on POSIX and Windows (where values are set as
// UTF-16, so that UTF-8 text such as a Korean path arrives whole).
#pragma once

#include <optional>
#include <string>

// The variable's value, nullopt when it is not set.
std::optional<std::string> GetEnv(const std::string& strName);
void SetEnv(const std::string& strName, const std::string& strValue);
void UnsetEnv(const std::string& strName);

// Sets (or, with nullopt, removes) one variable for a scope and restores it afterwards.
class CScopedEnv {
public:
    CScopedEnv(std::string strName, const std::optional<std::string>& value);
    ~CScopedEnv();
    CScopedEnv(const CScopedEnv&) = delete;
    CScopedEnv& operator=(const CScopedEnv&) = delete;

private:
    std::string m_strName;
    std::optional<std::string> m_old;
};
