#include "restore_fixture.h"

#include <filesystem>
#include <stdexcept>

#include "platform/native_text.h"
#include "zip/zip_archiver.h"

namespace fs = std::filesystem;

namespace restore_test {

void PackFolder(const std::string& strGameFolder, const std::string& strFolder,
                const std::string& strArchive) {
    CZipArchiver zip;
    zip.Open(strArchive, ZipOpenMode::Create);
    const fs::path game = PathFromUtf8(strGameFolder);
    for (const auto& entry :
         fs::recursive_directory_iterator(PathFromUtf8(strGameFolder + strFolder))) {
        if (!entry.is_regular_file())
            continue;
        CZipEntryHeader header;
        const std::string strPath = Utf8FromPath(entry.path());
        header.SetFileName(GenericUtf8FromPath(fs::relative(entry.path(), game)));
        if (!zip.OpenEntryForWriting(header, -1, strPath))
            throw std::runtime_error("cannot add " + strPath);
        const std::string strData = ReadWholeFile(strPath);
        zip.WriteEntryData(strData.data(), static_cast<uint32_t>(strData.size()));
        zip.CloseEntryForWriting();
    }
    zip.Close();
}

void PackEntries(const std::string& strArchive,
                 const std::vector<std::pair<std::string, std::string>>& vecEntries) {
    CSandbox source;
    CZipArchiver zip;
    zip.Open(strArchive, ZipOpenMode::Create);
    int i = 0;
    for (const auto& [strName, strData] : vecEntries) {
        const std::string strSource = source.Path() + "/f" + std::to_string(i++);
        WriteWholeFile(strSource, strData);
        CZipEntryHeader header;
        header.SetFileName(strName);
        if (!zip.OpenEntryForWriting(header, -1, strSource))
            throw std::runtime_error("cannot add " + strName);
        zip.WriteEntryData(strData.data(), static_cast<uint32_t>(strData.size()));
        zip.CloseEntryForWriting();
    }
    zip.Close();
}

void MarkEncrypted(const std::string& strArchive) {
    std::string strData = ReadWholeFile(strArchive);
    auto mark = [&](const char* szSignature, size_t nFlagOffset) {
        for (size_t nAt = strData.find(szSignature, 0, 4); nAt != std::string::npos;
             nAt = strData.find(szSignature, nAt + 4, 4))
            strData[nAt + nFlagOffset] = static_cast<char>(strData[nAt + nFlagOffset] | 0x01);
    };
    mark("PK\x03\x04", 6);
    mark("PK\x01\x02", 8);
    WriteWholeFile(strArchive, strData);
}

void FillGameFolder(const SGame& game) {
    WriteWholeFile(game.Path("WTF/Config.wtf"), "SET locale \"koKR\"\n");
    WriteWholeFile(game.Path("WTF/Account/GAMER/하늘바다/달빛궁수/macros-cache.txt"), "MACRO 1\n");
    WriteWholeFile(game.Path("WTF/Account/GAMER/SavedVariables/Addon.lua"), RandomBytes(40000, 1));
    WriteWholeFile(game.Path("Interface/AddOns/Bag/Bag.toc"), "## Title: Bag\n");
    WriteWholeFile(game.Path("Interface/AddOns/Bag/Bag.lua"), "local a = 1\n");
    WriteWholeFile(game.Path("Fonts/FRIZQT__.TTF"), RandomBytes(30000, 2));
    WriteWholeFile(game.Path("Cache/WDB/koKR/itemcache.wdb"), RandomBytes(20000, 3));
    WriteWholeFile(game.Path("Cache/Other/keep.bin"), "cache outside koKR\n");
    WriteWholeFile(game.Path("Wow.exe"), "MZ");
    for (const char* szFolder : {"Ralum/Temp", "Ralum/Recent", "Ralum/Original"})
        fs::create_directories(PathFromUtf8(game.Path(szFolder)));
}

}  // namespace restore_test
