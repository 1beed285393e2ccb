// CMainLogic: set-up, close rule, progress bar and the account status display.
#include "app/main_logic.h"

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string_view>
#include <utility>

#include "app/app_messages.h"
#include "app/auth_reply.h"
#include "app/categories.h"
#include "app/game_folder.h"
#include "net/endpoints.h"
#include "net/http_request.h"
#include "platform/codepage.h"
#include "platform/diag_log.h"

namespace {

// The progress band: 260 pixels at 100 %.
constexpr int kProgressFullWidth = 260;
// One M on the screen is 1,000,000 bytes, scaled in single precision.
constexpr float kMega = 0.000001f;

// The C library's atoi rules (leading white space, sign, digits up to the first other
// character), saturating instead of overflowing.
int32_t ParseInt(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r')))
        ++i;
    bool bNegative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-'))
        bNegative = text[i++] == '-';
    int64_t nValue = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        nValue = nValue * 10 + (text[i] - '0');
        if (nValue > INT32_MAX) {
            nValue = bNegative ? int64_t{INT32_MAX} + 1 : INT32_MAX;
            break;
        }
    }
    return static_cast<int32_t>(bNegative ? -nValue : nValue);
}

// Characters [nPos, nPos + nLen) of a value that the protocol keeps in a cleared buffer:
// positions past the end read as nothing.
std::string Field(std::string_view value, std::size_t nPos, std::size_t nLen) {
    if (nPos >= value.size())
        return {};
    return std::string(value.substr(nPos, nLen));
}

// A text field of the date as "%N.Ns" shows its CP949 bytes: at most nLen of them, blanks in
// front up to nLen; converted for display only then, so that no character is cut in two.
std::string TextField(std::string_view value, std::size_t nPos, std::size_t nLen) {
    std::string strField = Field(value, nPos, nLen);
    strField.insert(0, nLen - strField.size(), ' ');
    return Cp949ToUtf8Lossy(strField);
}

// "2010-07-06 15:16:00" -> "2010년 7월 6일 15:16"; month and day lose their leading zero.
std::string FormatLastUpload(std::string_view value) {
    if (value.empty())
        return kMsgNoUpload;
    std::string strYear = TextField(value, 0, 4);
    std::string strHour = TextField(value, 11, 2);
    std::string strMinute = TextField(value, 14, 2);
    int nMonth = ParseInt(Field(value, 5, 2));
    int nDay = ParseInt(Field(value, 8, 2));
    char szText[128] = {};
    std::snprintf(szText, sizeof(szText), kFmtLastUpload, strYear.c_str(), nMonth, nDay,
                  strHour.c_str(), strMinute.c_str());
    return szText;
}

// "%.1fM" of a value in M.
std::string FormatMega(float fMega) {
    char szText[64] = {};
    std::snprintf(szText, sizeof(szText), "%.1fM", static_cast<double>(fMega));
    return szText;
}

}  // namespace

CTransferClaim::CTransferClaim(CTransferClaim&& other) noexcept
    : m_bHeld(std::exchange(other.m_bHeld, false)), m_lock(std::move(other.m_lock)) {}

CTransferClaim& CTransferClaim::operator=(CTransferClaim&& other) noexcept {
    if (this != &other) {
        Release();
        m_bHeld = std::exchange(other.m_bHeld, false);
        m_lock = std::move(other.m_lock);
    }
    return *this;
}

bool CTransferClaim::LockGameFolder(IMessageView& view, const std::string& strFolder,
                                    const char* szCommand) {
    return TakeGameFolderLock(view, strFolder, m_lock, szCommand);
}

void CTransferClaim::Release() {
    m_lock.Unlock();
    if (std::exchange(m_bHeld, false))
        g_bTransferBusy = false;
}

CMainLogic::CMainLogic(IMainView& view, CSettings& settings) : m_view(view), m_settings(settings) {}

CTransferClaim CMainLogic::TryClaim() {
    CTransferClaim claim;
    bool bFree = false;
    claim.m_bHeld = g_bTransferBusy.compare_exchange_strong(bFree, true);
    return claim;
}

CMainLogic::~CMainLogic() {
    WaitForWorker();
}

void CMainLogic::WaitForWorker() {
    if (m_worker.joinable())
        m_worker.join();
}

void CMainLogic::ReportWorkerFailure(const std::exception_ptr& pError) {
    try {
        std::rethrow_exception(pError);
    } catch (const std::exception& e) {
        DiagLog(std::string("worker: stopped by an exception: ") + e.what());
    } catch (...) {
        DiagLog("worker: stopped by an exception of unknown type");
    }
    m_view.Message(kMsgSystemFailure);
}

void CMainLogic::OnInitDialog() {
    m_view.SetChecked(IDC_BACKUP_ADDON, true);
    m_view.SetChecked(IDC_BACKUP_CACHE, true);
    m_view.SetChecked(IDC_BACKUP_FONT, false);
    if (m_settings.FindGameFolder(m_view) == 1) {
        m_view.SetChecked(IDC_MODE_AUTO, true);
        m_view.SetChecked(IDC_MODE_MANUAL, false);
        m_view.SetText(IDC_REGISTRY_PATH, m_settings.GetGameFolder());
    } else {
        OnBrowseFolder();
    }
    m_view.SetText(IDC_NICKNAME, m_settings.GetNickname());
    RefreshUsage();
}

bool CMainLogic::CanClose() {
    if (!g_bTransferBusy.load())
        return true;
    m_view.Message(kMsgBusy);
    return false;
}

void CMainLogic::SetProgress(uint32_t nDone, int32_t nTotal, EProgressMode eMode) {
    // done / total in floating point, truncated; a total of 0 (or less) gives an empty bar,
    // and a share outside 0..100 % is held at the band's ends instead of painting past it.
    int nPercent = 0;
    if (nTotal > 0) {
        double dPercent = static_cast<double>(nDone) / nTotal * 100.0;
        nPercent = dPercent >= 100.0 ? 100 : static_cast<int>(dPercent);
    }
    if (eMode == EProgressMode::Full) {
        nPercent = 100;
    } else if (eMode == EProgressMode::FiveLess) {
        nPercent = nPercent - 5 < 0 ? 0 : nPercent - 5;
    }
    int nWidth = nPercent * kProgressFullWidth / 100;
    m_nProgressWidth.store(nWidth);
    m_view.SetProgressWidth(nWidth);
}

void CMainLogic::QueryAccountStatus() {
    std::optional<std::string> body = MakeAuthBody("du", m_settings.GetId());
    if (!body) {
        // An id too long for the account query: nothing is sent, the display keeps its values.
        m_view.Message(kMsgSystemFailure);
        return;
    }
    ApplyAccountStatus(
        ParseAuthReply(m_settings.Request(m_settings.m_endpoints.AuthUrl(), kHttpPost, &*body)));
}

void CMainLogic::ApplyAccountStatus(const SAuthReply& reply) {
    if (reply.eStatus != SAuthReply::Success)
        DiagLog(reply.eStatus == SAuthReply::Refused ? "account status: refused"
                                                     : "account status: no usable reply");
    if (reply.eStatus == SAuthReply::Refused) {
        // A refusal without text would be an empty box: say what failed instead.
        m_view.Message(reply.strMessage.empty() ? kMsgSystemFailure : reply.strMessage);
        return;
    }
    if (reply.eStatus != SAuthReply::Success) {
        m_view.Message(kMsgSystemFailure);
        return;
    }
    for (const auto& [strName, strValue] : reply.vecItems) {
        if (const SCategory* pCategory = FindCategoryByWord(strName)) {
            m_serverSizes[pCategory->eCategory] = ParseInt(strValue);
        } else if (strName == "LASTUPLOAD") {
            std::string strText = FormatLastUpload(strValue);
            std::lock_guard lock(m_mutexAccount);
            m_strLastUpload = std::move(strText);
        }
    }
}

SServerSizes CMainLogic::ServerSizes() const {
    SServerSizes sizes;
    for (const SCategory& category : kCategories)
        sizes[category.eCategory] = m_serverSizes[category.eCategory].load();
    return sizes;
}

std::string CMainLogic::LastUpload() {
    std::lock_guard lock(m_mutexAccount);
    return m_strLastUpload;
}

uint8_t CMainLogic::ChosenCategories(ECheckGroup eGroup) {
    uint8_t nMask = 0;
    for (const SCheckGroup& group : kCheckGroups) {
        if (m_view.IsChecked(eGroup == ECheckGroup::Backup ? group.nBackupId : group.nRestoreId))
            nMask |= group.nMask;
    }
    return nMask;
}

int32_t CMainLogic::GetTotalUsage() const {
    // 32-bit arithmetic that wraps instead of overflowing.
    uint32_t nTotal = 0;
    for (const SCategory& category : kCategories)
        nTotal += static_cast<uint32_t>(m_serverSizes[category.eCategory].load());
    return static_cast<int32_t>(nTotal);
}

void CMainLogic::RefreshUsage() {
    QueryAccountStatus();

    const SServerSizes sizes = ServerSizes();
    // A restore box is ticked when the server holds any category of its group.
    for (const SCheckGroup& group : kCheckGroups) {
        bool bHeld = false;
        for (const SCategory& category : kCategories)
            bHeld = bHeld || ((group.nMask & category.nMask) != 0 && sizes[category.eCategory] > 0);
        m_view.SetChecked(group.nRestoreId, bHeld);
    }
    const int32_t nFonts = sizes[ECategory::Fonts];
    const int32_t nInterface = sizes[ECategory::Interface];
    const int32_t nWdb = sizes[ECategory::Wdb];
    const int32_t nWtf = sizes[ECategory::Wtf];

    char szTotal[96] = {};
    std::snprintf(szTotal, sizeof(szTotal), kFmtTotalUsage,
                  static_cast<double>(static_cast<float>(GetTotalUsage()) * kMega),
                  m_settings.m_nMaxUploadLimit / 1000000);
    m_view.SetText(IDC_TOTAL_USAGE, szTotal);
    m_view.SetText(IDC_ADDON_USAGE,
                   FormatMega((static_cast<float>(nWtf) + static_cast<float>(nInterface)) * kMega));
    m_view.SetText(IDC_WDB_USAGE, FormatMega(static_cast<float>(nWdb) * kMega));
    m_view.SetText(IDC_FONTS_USAGE, FormatMega(static_cast<float>(nFonts) * kMega));
    m_view.SetText(IDC_LAST_UPLOAD, LastUpload());
}
