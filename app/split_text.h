// The delimited-text splitter of the configuration text, the account reply and the folder
// maker.
#pragma once

#include <cstddef>

// Texts longer than this are not split at all.
inline constexpr size_t kSplitTextMaxLength = 1048577;

// Counts the non-empty pieces of szText between non-overlapping occurrences of szDelimiter
// (non-empty) and, when pOut is given and piece nIndex (counted among the non-empty pieces
// from 0) exists, copies it into pOut cut to nCapacity - 1 bytes with a terminating NUL.
// A missing piece leaves pOut unchanged.
// Result: the number of pieces; -1 when the text is longer than kSplitTextMaxLength (nothing
// copied), and -1 as well when the piece copied was the text's last piece and was cut (or
// exactly filled nCapacity - 1 bytes).
int SplitText(const char* szText, const char* szDelimiter, int nIndex, char* pOut,
              size_t nCapacity);
