// The one settings record of the process, and the transfer flag.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "net/endpoints.h"
#include "net/http_request.h"

class IMessageView;
enum class EConfigLoad;

// Every path buffer of the program holds at most this many bytes including the NUL.
inline constexpr int kMaxPath = 260;

class CSettings {
public:
    CSettings();
    virtual ~CSettings();

    CSettings(const CSettings&) = delete;
    CSettings& operator=(const CSettings&) = delete;

    // Fetches and parses the server configuration. A version mismatch shows the update
    // message and says so (start-up then opens the board page and ends the program).
    EConfigLoad LoadServerConfig(IMessageView& view);
    // 1 = game folder read from the registry and working folders made; 0 = not found
    // (message shown through the view).
    int FindGameFolder(IMessageView& view);
    // 1 = all four working folders exist; 0 at the first that cannot be made.
    int CreateWorkingFolders();

    const char* GetGameFolder() const { return m_szGameFolder; }
    std::string GetId() const { return m_strId; }
    std::string GetNickname() const { return m_strNickname; }
    void SetId(std::string strId) { m_strId = std::move(strId); }
    void SetPw(std::string strPw) { m_strPw = std::move(strPw); }
    void SetNickname(std::string strNickname) { m_strNickname = std::move(strNickname); }
    // Clears the 260-byte buffer and copies the path in, with the native separator added at
    // its end when it has none. Returns false (and leaves the folder unchanged) when it does
    // not fit.
    bool SetGameFolder(const std::string& strPath);

    // The one-shot requests of the logic (account status, login, configuration, remove all)
    // through m_fnHttpRequest: HttpRequest unless a test puts another transport in its place.
    std::optional<std::string> Request(const std::string& strUrl, int nMethod,
                                       const std::string* pBody = nullptr,
                                       const std::string& strCaFile = {}) const {
        return m_fnHttpRequest(strUrl, nMethod, pBody, strCaFile);
    }

    // The addresses and the extra HTTPS certificate: the compiled-in ones until start-up reads
    // the environment's (SEndpoints::FromEnvironment) into them.
    SEndpoints m_endpoints;
    HttpRequestFn m_fnHttpRequest;
    int32_t m_nMaxUploadLimit = 0;
    int32_t m_nDownloadInterval = 0;
    std::string m_strDownloadAddpointEnable;
    int32_t m_nDownloadDefaultSize = 0;
    int32_t m_nSizeForAddpoint = 0;
    int32_t m_nPointForDnload = 0;
    int32_t m_nPointForExceed = 0;
    int32_t m_nPointForWdb = 0;
    char m_szGameFolder[kMaxPath] = {};  // UTF-8, native separators, ends with '/'
    std::string m_strId;                 // UTF-8 in memory; CP949 on the wire
    std::string m_strPw;
    std::string m_strNickname;
};

// Created at start-up, never destroyed.
extern CSettings* g_pSettings;

// The window's one transfer slot: set while a command prepares a change or its worker runs.
// Written only by CTransferClaim (app/main_logic.h).
extern std::atomic<bool> g_bTransferBusy;
