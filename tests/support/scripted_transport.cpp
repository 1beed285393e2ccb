#include "support/scripted_transport.h"

#include "app/settings.h"

void CScriptedTransport::Install(CSettings& settings) {
    settings.m_fnHttpRequest = [this](const std::string& strUrl, int nMethod,
                                      const std::string* pBody, const std::string& strCaFile) {
        std::lock_guard lock(m_mutex);
        m_vecRequests.push_back(
            {strUrl, nMethod, pBody != nullptr ? std::optional<std::string>(*pBody) : std::nullopt,
             strCaFile});
        return m_strReply.empty() ? std::nullopt : std::optional<std::string>(m_strReply);
    };
}

void CScriptedTransport::SetReply(std::string strReply) {
    std::lock_guard lock(m_mutex);
    m_strReply = std::move(strReply);
}

std::vector<CScriptedTransport::SRequest> CScriptedTransport::Requests() const {
    std::lock_guard lock(m_mutex);
    return m_vecRequests;
}
