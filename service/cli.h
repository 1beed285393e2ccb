#pragma once
// The command line of zav-service:
//   zav-service serve --data DIR [--http HOST:PORT] [--https HOST:PORT] [--demo]
//       [--max-upload-mb N] [--capacity-mb N] [--client-version TEXT] [--session-hours N]
//       [--trusted-proxy ADDR]
//   zav-service member add --data DIR ID PASSWORD NICKNAME
//   zav-service member remove --data DIR ID
//   zav-service member list --data DIR

#include <string>
#include <vector>

namespace zavsvc {

// serve also takes two options for tests only, left out of the usage text: --clock-file FILE,
// with which the service's wall clock reads the time from FILE (see FileClock in clock.h), and
// --io-timeout-ms N, the head deadline and rate window of the front (10000 by default).
//
// Every file and folder the commands create is the owner's only (umask 077).

// Runs the command; returns the process exit code (2 for a usage error).
int RunCommandLine(const std::vector<std::string>& vecArgs);

}  // namespace zavsvc
