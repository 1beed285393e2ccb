// The journal of an apply: a small file under Ralum to which every step is appended, and
// flushed to the disk (the file, and its folder when it is made), before the step is taken.
// A recovery after a crash or a power cut reads it back and knows what was done, instead of
// guessing from the folders that happen to exist.
//
// One record per line: the CRC-32 of the rest of the line in eight hex digits, a space, then
// the record's fields separated by tabs ('%', tab, CR and LF escaped as %25 %09 %0D %0A). A
// line whose check fails (the torn end of a write cut off by a power cut) is left out: its
// step was never taken, because a step waits until its record is on the disk.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/native_file.h"

using JournalRecord = std::vector<std::string>;

class CApplyJournal {
public:
    explicit CApplyJournal(std::string strPath) : m_strPath(std::move(strPath)) {}

    // Makes the journal (nothing may stand at its path) with its first record, flushed with
    // its folder. False, with Error(), when it cannot.
    bool Create(const JournalRecord& header);
    // Opens an existing journal to append to it (a recovery goes on where it stopped).
    bool OpenForAppend();
    // Appends one record and flushes it; false (the step must not be taken) on failure.
    bool Append(const JournalRecord& record);
    // Closes the file (the next Append opens it again): a journal left standing is not held
    // open, so that another program on Windows can follow and remove it.
    void Close() { m_file.Close(); }
    // Closes and removes the journal, flushing its folder.
    bool Remove();

    // The journal's records in order, nullopt when there is no journal (or it cannot be read:
    // then *pError says why and *pExists is true).
    static std::optional<std::vector<JournalRecord>> Read(const std::string& strPath,
                                                          std::string* pError = nullptr,
                                                          bool* pExists = nullptr);
    static bool Exists(const std::string& strPath);

    const std::string& Path() const { return m_strPath; }
    const std::string& Error() const { return m_strError; }

private:
    bool Fail(const std::string& strWhat);

    std::string m_strPath;
    CNativeFile m_file;
    bool m_bNeedsNewline = false;  // the file ends in a torn line: the next record starts anew
    std::string m_strError;
};

// The text of one record's line (without the line feed), and back; nullopt for a line that
// fails its check. Exposed for the tests.
std::string EncodeJournalLine(const JournalRecord& record);
std::optional<JournalRecord> DecodeJournalLine(const std::string& strLine);
