#pragma once
// The command line of zav-service:
//   zav-service serve --data DIR [--http HOST:PORT] [--https HOST:PORT] [--demo]
//       [--max-upload-mb N] [--capacity-mb N] [--client-version TEXT] [--session-hours N]
//   zav-service member add --data DIR ID PASSWORD NICKNAME
//   zav-service member remove --data DIR ID
//   zav-service member list --data DIR

#include <string>
#include <vector>

namespace zavsvc {

// serve also takes --clock-file FILE, for tests only and left out of the usage text: the
// service's wall clock then reads the time from FILE (see FileClock in clock.h).

// Runs the command; returns the process exit code (2 for a usage error).
int RunCommandLine(const std::vector<std::string>& vecArgs);

}  // namespace zavsvc
