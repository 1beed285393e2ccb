// The faces of the Windows window. The templates and the bold fonts name "굴림", which every
// Korean Windows has; where it is missing (another system's language, Wine) the first Korean
// face that is installed stands in, so that Korean text never falls to a face without it.
#pragma once

#include <windows.h>

#include <string>

// "굴림", or the face that stands in for it.
const std::wstring& DialogFaceName();
bool IsStandInFace();

// A font of DialogFaceName(): nHeight as CreateFontW takes it (a cell height when positive, a
// character height when negative), the weight and the character set. "굴림" has no internal
// leading, so its cell height is its character height; a stand-in is asked for the same
// character height (its cells come out taller, CDialogWindow gives its statics the room), and
// with the default character set, so that the face itself is taken whatever set it names.
// The caller deletes it.
HFONT CreateDialogFont(int nHeight, int nWeight, BYTE nCharSet);
