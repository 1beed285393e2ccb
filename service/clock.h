#pragma once
// The service's wall clock, in milliseconds since the epoch. The login slow-down, the session
// binding and the last-upload time read it through a function object, so that tests can set
// the time instead of waiting for it.

#include <cstdint>
#include <functional>
#include <string>

namespace zavsvc {

using NowFn = std::function<int64_t()>;

// The system clock.
int64_t NowMs();

// A clock that reads the time from a file, as decimal milliseconds since the epoch, at every
// call. Tests set the time by replacing the file. An unreadable file is reported and the system
// time is used for that call.
NowFn FileClock(std::string strPath);

}  // namespace zavsvc
