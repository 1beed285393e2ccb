#pragma once
// Salted, slow password hashes: PBKDF2-HMAC-SHA256, stored as
// "pbkdf2-sha256$ITERATIONS$SALT_HEX$HASH_HEX".

#include <string>
#include <string_view>

namespace zavsvc {

// Iterations for new hashes: 600000, or ZAV_SERVICE_HASH_ITERATIONS when set (tests use it to stay
// fast; values below 1000 are raised to 1000).
int HashIterations();

// Empty on failure of the random source.
std::string HashPassword(std::string_view password, int nIterations);

// The iteration count of a stored hash; 0 when it is malformed.
int HashCost(std::string_view stored);
// The stored hash with its iteration count replaced (a hash that verifies nothing, at that
// cost); unchanged when it is malformed.
std::string WithHashCost(std::string_view stored, int nIterations);

// Constant-time comparison of the derived key; false for a malformed stored value.
bool VerifyPassword(std::string_view password, std::string_view stored);

}  // namespace zavsvc
