#include "app/categories.h"

#include "app/settings.h"

const SCategory* FindCategoryByWord(std::string_view word) {
    for (const SCategory& category : kCategories) {
        if (word == category.szWord)
            return &category;
    }
    return nullptr;
}

const SCategory* FindCategoryByMask(uint8_t nBit) {
    for (const SCategory& category : kCategories) {
        if (nBit == category.nMask)
            return &category;
    }
    return nullptr;
}

std::optional<std::string> GamePath(std::string_view gameFolder, std::string_view relative) {
    if (gameFolder.size() + relative.size() >= static_cast<size_t>(kMaxPath))
        return std::nullopt;
    std::string strPath;
    strPath.reserve(gameFolder.size() + relative.size());
    strPath.append(gameFolder);
    strPath.append(relative);
    return strPath;
}

std::optional<std::string> CategoryFolderPath(std::string_view gameFolder, ECategory eCategory) {
    return GamePath(gameFolder, GetCategory(eCategory).szGameFolder);
}

std::optional<std::string> ArchivePath(std::string_view gameFolder, ECategory eCategory) {
    return GamePath(gameFolder, GetCategory(eCategory).szArchivePath);
}

std::optional<std::string> RecentPath(std::string_view gameFolder, ECategory eCategory) {
    return GamePath(gameFolder, GetCategory(eCategory).szRecent);
}

std::optional<std::string> OriginalPath(std::string_view gameFolder, ECategory eCategory) {
    return GamePath(gameFolder, GetCategory(eCategory).szOriginal);
}
