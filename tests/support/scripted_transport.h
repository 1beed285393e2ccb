// The one-shot requests of the logic without a network: put in place of HttpRequest in a
// settings record (CSettings::m_fnHttpRequest), it records every request and answers each with
// the reply it was given, as HttpRequest hands a body to the logic (an empty one as none).
#pragma once

#include <mutex>
#include <optional>
#include <string>
#include <vector>

class CSettings;

class CScriptedTransport {
public:
    struct SRequest {
        std::string strUrl;
        int nMethod = 0;
        std::optional<std::string> body;  // nullopt: none was sent
        std::string strCaFile;
    };

    explicit CScriptedTransport(std::string strReply = {}) : m_strReply(std::move(strReply)) {}
    // Makes settings send through this transport (which must outlive its requests).
    void Install(CSettings& settings);
    // The body of every later reply; "" answers as a failed request does.
    void SetReply(std::string strReply);
    std::vector<SRequest> Requests() const;

private:
    mutable std::mutex m_mutex;
    std::string m_strReply;
    std::vector<SRequest> m_vecRequests;
};
