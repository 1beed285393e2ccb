// The wait cursor of the windows while a command prepares its work (UI thread only). While it
// is on, every window of the program answers WM_SETCURSOR with it.
#pragma once

namespace wait_cursor {

void Push();
void Pop();
bool IsShown();

}  // namespace wait_cursor
