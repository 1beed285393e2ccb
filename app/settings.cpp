#include "app/settings.h"

#include <cstring>

#include "app/game_folder.h"

CSettings* g_pSettings = nullptr;
std::atomic<bool> g_bTransferBusy{false};

CSettings::CSettings()
    : m_fnHttpRequest([](const std::string& strUrl, int nMethod, const std::string* pBody,
                         const std::string& strCaFile) {
          return HttpRequest(strUrl, nMethod, pBody, strCaFile);
      }) {}

CSettings::~CSettings() = default;

bool CSettings::SetGameFolder(const std::string& strGiven) {
    const std::string strPath = WithFinalSeparator(strGiven);
    if (strPath.size() >= sizeof(m_szGameFolder))
        return false;  // refused, never cut
    std::memset(m_szGameFolder, 0, sizeof(m_szGameFolder));
    std::memcpy(m_szGameFolder, strPath.data(), strPath.size());
    return true;
}
