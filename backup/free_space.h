// Reading of the account script's free-space reply.
#pragma once

#include <optional>
#include <string>

#include "net/endpoints.h"

// True when the reply accepts uploads now: it begins with "+OK" and the two characters
// before its first "%" (its first two characters when there is no "%"), read as a decimal
// number the way atoi reads it, give n with 100 - n > 10.
bool FreeSpaceAccepts(const std::optional<std::string>& reply);

// Asks the account script whether the server accepts uploads now (mode freespace): 1 when it
// does, 0 when it does not, refused, or did not answer.
int QueryFreeSpace(const SEndpoints& endpoints);
