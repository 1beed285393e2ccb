#pragma once
// The command line of zav-service:
//   zav-service serve --data DIR [--db postgresql://USER@HOST:PORT/DB]
//       [--store s3://BUCKET/PREFIX --s3-endpoint http://HOST:PORT]
//       [--http HOST:PORT] [--https HOST:PORT] [--demo]
//       [--max-upload-mb N] [--capacity-mb N] [--client-version TEXT] [--session-hours N]
//       [--trusted-proxy ADDR] [--workers N] [--password-checks N]
//   zav-service member add (--data DIR | --db URL) ID PASSWORD NICKNAME
//   zav-service member remove (--data DIR | --db URL [--store URL --s3-endpoint URL]) ID
//   zav-service member list (--data DIR | --db URL)
//   zav-service migrate --from-data DIR --db URL --store URL --s3-endpoint URL
// The S3 store's credentials come from the environment only (AWS_ACCESS_KEY_ID,
// AWS_SECRET_ACCESS_KEY, AWS_REGION).

#include <string>
#include <vector>

namespace zavsvc {

// serve also takes three options for tests only, left out of the usage text: --clock-file FILE,
// with which the service's wall clock reads the time from FILE (see FileClock in clock.h);
// --io-timeout-ms N, the head deadline and rate window of the front (10000 by default); and
// --sweep-ms N, how often the store's unnamed objects are swept and how long they are kept
// first (15 minutes by default).
//
// Every file and folder the commands create is the owner's only (umask 077).

// Runs the command; returns the process exit code (2 for a usage error).
int RunCommandLine(const std::vector<std::string>& vecArgs);

}  // namespace zavsvc
