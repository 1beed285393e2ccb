// The four categories the program backs up and restores, the working folders, and the rule
// for every path under the game folder: the game folder (which ends with the native
// separator) followed directly by a relative path with native separators.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "app/app_messages.h"
#include "app/view.h"
#include "platform/file_system.h"

// Working folders, relative to the game folder.
inline constexpr const char* kRalum = "Ralum";
inline constexpr const char* kRalumTemp = "Ralum" ZAV_SEP "Temp";
inline constexpr const char* kRalumRecent = "Ralum" ZAV_SEP "Recent";
inline constexpr const char* kRalumOriginal = "Ralum" ZAV_SEP "Original";
// "Ralum/Temp/" as the upload side's format prefix uses it.
inline constexpr const char* kRalumTempPrefix = "Ralum" ZAV_SEP "Temp" ZAV_SEP;

// Category mask bits handed to the workers. 0x01 is never set.
inline constexpr uint8_t kMaskFonts = 0x02;
inline constexpr uint8_t kMaskInterface = 0x04;
inline constexpr uint8_t kMaskWdb = 0x08;
inline constexpr uint8_t kMaskWtf = 0x10;
inline constexpr uint8_t kMaskAll = kMaskFonts | kMaskInterface | kMaskWdb | kMaskWtf;

enum class ECategory : int { Wtf = 0, Wdb = 1, Interface = 2, Fonts = 3 };
inline constexpr int kCategoryCount = 4;

struct SCategory {
    ECategory eCategory;
    const char* szWord;         // "WTF": archive names, the account reply, copies
    const char* szGameFolder;   // relative game folder, e.g. "Cache/WDB/koKR"
    const char* szArchiveName;  // "__WTF.zip"
    const char* szArchivePath;  // relative, "Ralum/Temp/__WTF.zip"
    const char* szRecent;       // relative, "Ralum/Recent/WTF"
    const char* szOriginal;     // relative, "Ralum/Original/WTF"
    const char* szUploadField;  // form field of its part of the upload, "UserFile002"
    uint8_t nMask;              // bit in the category mask
};

// In table order: WTF, WDB, Interface, Fonts.
inline constexpr SCategory kCategories[kCategoryCount] = {
    {ECategory::Wtf, "WTF", "WTF", "__WTF.zip", "Ralum" ZAV_SEP "Temp" ZAV_SEP "__WTF.zip",
     "Ralum" ZAV_SEP "Recent" ZAV_SEP "WTF", "Ralum" ZAV_SEP "Original" ZAV_SEP "WTF",
     "UserFile002", kMaskWtf},
    {ECategory::Wdb, "WDB", "Cache" ZAV_SEP "WDB" ZAV_SEP "koKR", "__WDB.zip",
     "Ralum" ZAV_SEP "Temp" ZAV_SEP "__WDB.zip", "Ralum" ZAV_SEP "Recent" ZAV_SEP "WDB",
     "Ralum" ZAV_SEP "Original" ZAV_SEP "WDB", "UserFile003", kMaskWdb},
    {ECategory::Interface, "Interface", "Interface", "__Interface.zip",
     "Ralum" ZAV_SEP "Temp" ZAV_SEP "__Interface.zip", "Ralum" ZAV_SEP "Recent" ZAV_SEP "Interface",
     "Ralum" ZAV_SEP "Original" ZAV_SEP "Interface", "UserFile001", kMaskInterface},
    {ECategory::Fonts, "Fonts", "Fonts", "__Fonts.zip",
     "Ralum" ZAV_SEP "Temp" ZAV_SEP "__Fonts.zip", "Ralum" ZAV_SEP "Recent" ZAV_SEP "Fonts",
     "Ralum" ZAV_SEP "Original" ZAV_SEP "Fonts", "UserFile004", kMaskFonts},
};

// The order in which a backup packs the categories and sends their parts.
inline constexpr ECategory kUploadOrder[kCategoryCount] = {ECategory::Interface, ECategory::Wtf,
                                                           ECategory::Wdb, ECategory::Fonts};
// The order in which every loop of a restore visits the categories.
inline constexpr ECategory kRestoreOrder[kCategoryCount] = {ECategory::Fonts, ECategory::Interface,
                                                            ECategory::Wdb, ECategory::Wtf};

// The check boxes of the main window: one group of a backup box and a restore box per label;
// the Addon group is Interface and WTF together.
struct SCheckGroup {
    const char* szLabel;
    uint8_t nMask;
    int nBackupId;
    int nRestoreId;
};
inline constexpr SCheckGroup kCheckGroups[3] = {
    {kLabelAddon, kMaskInterface | kMaskWtf, IDC_BACKUP_ADDON, IDC_RESTORE_ADDON},
    {kLabelCache, kMaskWdb, IDC_BACKUP_CACHE, IDC_RESTORE_CACHE},
    {kLabelFont, kMaskFonts, IDC_BACKUP_FONT, IDC_RESTORE_FONT},
};

// One value per category, indexed by the category (the server's sizes, the expected ones).
template <class T>
struct SPerCategory {
    T values[kCategoryCount]{};
    T& operator[](ECategory eCategory) { return values[static_cast<int>(eCategory)]; }
    const T& operator[](ECategory eCategory) const { return values[static_cast<int>(eCategory)]; }
};

inline const SCategory& GetCategory(ECategory eCategory) {
    return kCategories[static_cast<int>(eCategory)];
}
// The category of a word ("WTF", "WDB", "Interface", "Fonts"; exact case), or nullptr.
const SCategory* FindCategoryByWord(std::string_view word);
// The category of a single mask bit, or nullptr.
const SCategory* FindCategoryByMask(uint8_t nBit);

// The game folder followed directly by strRelative (nothing is inserted in between).
// nullopt when the result would not fit a 260-byte path buffer (259 bytes plus the NUL):
// such paths are refused, never cut.
std::optional<std::string> GamePath(std::string_view gameFolder, std::string_view relative);

// Shorthands over GamePath for one category.
std::optional<std::string> CategoryFolderPath(std::string_view gameFolder, ECategory eCategory);
std::optional<std::string> ArchivePath(std::string_view gameFolder, ECategory eCategory);
std::optional<std::string> RecentPath(std::string_view gameFolder, ECategory eCategory);
std::optional<std::string> OriginalPath(std::string_view gameFolder, ECategory eCategory);
