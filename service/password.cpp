#include "service/password.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <cstdlib>
#include <vector>

namespace zavsvc {
namespace {

constexpr int kDefaultIterations = 600000;
constexpr int kMinIterations = 1000;
constexpr int kMaxIterations = 10000000;
constexpr size_t kSaltBytes = 16;
constexpr size_t kKeyBytes = 32;
constexpr std::string_view kScheme = "pbkdf2-sha256";

std::string ToHex(const unsigned char* p, size_t n) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string str;
    for (size_t i = 0; i < n; ++i) {
        str += kHex[p[i] >> 4];
        str += kHex[p[i] & 0x0F];
    }
    return str;
}

bool FromHex(std::string_view hex, std::vector<unsigned char>& rOut) {
    if (hex.size() % 2 != 0) {
        return false;
    }
    auto nibble = [](char c) -> int {
        if (c >= '0' && c <= '9') {
            return c - '0';
        }
        if (c >= 'a' && c <= 'f') {
            return c - 'a' + 10;
        }
        return -1;
    };
    rOut.clear();
    for (size_t i = 0; i < hex.size(); i += 2) {
        int hi = nibble(hex[i]);
        int lo = nibble(hex[i + 1]);
        if (hi < 0 || lo < 0) {
            return false;
        }
        rOut.push_back(static_cast<unsigned char>(hi * 16 + lo));
    }
    return true;
}

bool Derive(std::string_view password, const std::vector<unsigned char>& vecSalt, int nIterations,
            std::vector<unsigned char>& rKey) {
    rKey.assign(kKeyBytes, 0);
    return PKCS5_PBKDF2_HMAC(password.data(), static_cast<int>(password.size()), vecSalt.data(),
                             static_cast<int>(vecSalt.size()), nIterations, EVP_sha256(),
                             static_cast<int>(rKey.size()), rKey.data()) == 1;
}

}  // namespace

int HashIterations() {
    const char* psz = std::getenv("ZAV_SERVICE_HASH_ITERATIONS");
    if (psz == nullptr || *psz == '\0') {
        return kDefaultIterations;
    }
    long n = std::strtol(psz, nullptr, 10);
    if (n < kMinIterations) {
        return kMinIterations;
    }
    return n > kMaxIterations ? kMaxIterations : static_cast<int>(n);
}

std::string HashPassword(std::string_view password, int nIterations) {
    std::vector<unsigned char> vecSalt(kSaltBytes);
    if (RAND_bytes(vecSalt.data(), static_cast<int>(vecSalt.size())) != 1) {
        return {};
    }
    std::vector<unsigned char> vecKey;
    if (!Derive(password, vecSalt, nIterations, vecKey)) {
        return {};
    }
    return std::string(kScheme) + "$" + std::to_string(nIterations) + "$" +
           ToHex(vecSalt.data(), vecSalt.size()) + "$" + ToHex(vecKey.data(), vecKey.size());
}

int HashCost(std::string_view stored) {
    size_t n1 = stored.find('$');
    size_t n2 = n1 == std::string_view::npos ? n1 : stored.find('$', n1 + 1);
    if (n2 == std::string_view::npos || stored.substr(0, n1) != kScheme) {
        return 0;
    }
    std::string strIterations(stored.substr(n1 + 1, n2 - n1 - 1));
    long n = std::strtol(strIterations.c_str(), nullptr, 10);
    return n < 1 || n > kMaxIterations ? 0 : static_cast<int>(n);
}

std::string WithHashCost(std::string_view stored, int nIterations) {
    size_t n1 = stored.find('$');
    size_t n2 = n1 == std::string_view::npos ? n1 : stored.find('$', n1 + 1);
    if (n2 == std::string_view::npos) {
        return std::string(stored);
    }
    return std::string(stored.substr(0, n1 + 1)) + std::to_string(nIterations) +
           std::string(stored.substr(n2));
}

bool VerifyPassword(std::string_view password, std::string_view stored) {
    size_t n1 = stored.find('$');
    size_t n2 = n1 == std::string_view::npos ? n1 : stored.find('$', n1 + 1);
    size_t n3 = n2 == std::string_view::npos ? n2 : stored.find('$', n2 + 1);
    if (n3 == std::string_view::npos || stored.substr(0, n1) != kScheme) {
        return false;
    }
    std::string strIterations(stored.substr(n1 + 1, n2 - n1 - 1));
    long nIterations = std::strtol(strIterations.c_str(), nullptr, 10);
    std::vector<unsigned char> vecSalt, vecExpected, vecKey;
    if (nIterations < 1 || nIterations > kMaxIterations ||
        !FromHex(stored.substr(n2 + 1, n3 - n2 - 1), vecSalt) ||
        !FromHex(stored.substr(n3 + 1), vecExpected) || vecExpected.size() != kKeyBytes) {
        return false;
    }
    if (!Derive(password, vecSalt, static_cast<int>(nIterations), vecKey)) {
        return false;
    }
    return CRYPTO_memcmp(vecKey.data(), vecExpected.data(), kKeyBytes) == 0;
}

}  // namespace zavsvc
