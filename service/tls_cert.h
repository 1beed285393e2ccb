#pragma once
// The HTTPS listener's certificate: a self-signed server (leaf) certificate for 127.0.0.1, ::1
// and localhost, made at first start in DIR/tls/cert.pem and DIR/tls/key.pem and loaded from
// there afterwards; and the TLS context the listener serves with.

#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <memory>
#include <string>

namespace zavsvc {

struct SX509Free {
    void operator()(X509* p) const { X509_free(p); }
};
struct SPkeyFree {
    void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
};
struct SSslCtxFree {
    void operator()(SSL_CTX* p) const { SSL_CTX_free(p); }
};
using X509Ptr = std::unique_ptr<X509, SX509Free>;
using PkeyPtr = std::unique_ptr<EVP_PKEY, SPkeyFree>;
using SslCtxPtr = std::unique_ptr<SSL_CTX, SSslCtxFree>;

struct SCertificate {
    X509Ptr cert;
    PkeyPtr key;
};

// Loads both files, or makes and stores a new pair when either is missing or the stored
// certificate is one an older version made as a certificate authority. False with a reason
// when the files exist but cannot be read, or a new pair cannot be made or stored.
bool EnsureCertificate(const std::string& strDataDir, SCertificate& rOut, std::string* pStrError);

// A server context with the pair: TLS 1.2 and 1.3 only, no compression, no renegotiation.
SslCtxPtr MakeServerContext(const SCertificate& certificate, std::string* pStrError);

}  // namespace zavsvc
