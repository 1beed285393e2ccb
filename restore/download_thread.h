// The restore worker: downloads the chosen archives into Ralum/Temp, one after the other, then
// applies them (archive_applier.h), tells the member the outcome and refreshes the account
// status. It works on its own copies of the member id, the game folder and the expected sizes,
// taken when the command started, and forms every path from the game folder it was given.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "app/main_logic.h"
#include "net/transfer_codes.h"
#include "restore/archive_applier.h"
#include "restore/restore_messages.h"

class CPartialFile;

// Size of each piece of the reply that is written and counted.
inline constexpr size_t kDownloadPiece = 10240;

// The completion text of a restore with one line per restored category (files added,
// replaced and removed) and where the replaced folders are kept.
std::string RestoreDoneMessage(const std::string& strGameFolder,
                               const std::vector<SCategoryChange>& vecChanges);

class CDownloadThread {
public:
    // owner: the main window's logic (progress, messages, account refresh); nMask: the chosen
    // categories; the id (UTF-8), the game folder and the server's archive sizes are copies.
    // Whoever runs it holds the game folder's lock until it ends.
    CDownloadThread(CMainLogic& owner, uint8_t nMask, std::string strId, std::string strGameFolder,
                    SServerSizes serverSizes);
    ~CDownloadThread();

    // The whole restore: sizes, downloads, apply, final message, account refresh. The thread
    // that runs it gives back the transfer claim after this returns.
    void ThreadBody();

    // Expected sizes of the chosen categories that the server holds; a chosen category of
    // size 0 is dropped from the mask. The total, or -19 (told "nothing to download").
    int32_t ComputeTotalSize();
    // Every chosen archive, in restore order; 0 or the first negative code.
    int DownloadAll();
    // One archive into Ralum/Temp, under a temporary name until it has arrived whole (an
    // earlier archive of that name stays until then); 0 or a negative code.
    int DownloadArchive(ECategory eCategory);
    // Runs the GET of strUrl (HTTP/1.0, never from a cache) with the agent name, writing the
    // body to the archive file. 0, or -1, -5, -7, -8, -10 or -11.
    int OpenRequest(const std::string& strAgent, const std::string& strUrl, CPartialFile& file);
    // Counts n bytes just written and moves the bar; returns the total received.
    int32_t AddProgress(int32_t n);
    // Applies the downloaded archives; 0, or -1 (the game folder is unchanged). The folders
    // the apply replaced are kept for RemoveReplacedFolders.
    int ApplyAll();
    // Removes the previous Recent copies (and old folders set aside) a successful ApplyAll
    // replaced; ThreadBody runs it beside the done message.
    void RemoveReplacedFolders();
    // The member's note on folders the apply kept out of its way or could not remove ("").
    std::string KeptAndLeftNote() const;

    uint8_t Mask() const { return m_nMask; }
    int32_t TotalExpected() const { return m_nTotalExpected; }
    int32_t TotalReceived() const { return m_nTotalReceived; }

private:
    CMainLogic& m_owner;
    SEndpoints m_endpoints;  // the owner's, copied when the worker is made
    uint8_t m_nMask;
    std::string m_strId;
    std::string m_strGameFolder;
    SServerSizes m_serverSizes;
    SServerSizes m_expected;
    std::vector<SCategoryChange> m_vecChanges;    // what the last ApplyAll changed
    std::unique_ptr<CArchiveApplier> m_pApplier;  // the last apply, until its folders are gone
    std::string m_strApplyError;                  // why the last ApplyAll failed, for the log
    std::string m_strTransferNote;                // the last download's URL, status and error
    int32_t m_nTotalExpected = 0;
    int32_t m_nTotalReceived = 0;
    int32_t m_nCurrentExpected = 0;
    int32_t m_nCurrentReceived = 0;
};
