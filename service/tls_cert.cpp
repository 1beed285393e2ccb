#include "service/tls_cert.h"

#include <openssl/bio.h>
#include <openssl/ecdsa.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509v3.h>
#include <sys/stat.h>

#include <cstdio>
#include <filesystem>

#include "service/archive_store.h"

namespace zavsvc {
namespace {

struct SBioFree {
    void operator()(BIO* p) const { BIO_free(p); }
};
using BioPtr = std::unique_ptr<BIO, SBioFree>;

struct SFileClose {
    void operator()(FILE* p) const { std::fclose(p); }
};
using FilePtr = std::unique_ptr<FILE, SFileClose>;

constexpr long kValidDays = 3650;
constexpr const char* kOrganization = "ZAV stand-in service";

bool AddExtension(X509* pCert, int nNid, const char* pszValue) {
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, pCert, pCert, nullptr, nullptr, 0);
    X509_EXTENSION* pExt = X509V3_EXT_conf_nid(nullptr, &ctx, nNid, pszValue);
    if (pExt == nullptr) {
        return false;
    }
    bool bOk = X509_add_ext(pCert, pExt, -1) == 1;
    X509_EXTENSION_free(pExt);
    return bOk;
}

// True when both integers of the certificate's ECDSA signature take their full 32 bytes. About
// one signature in 128 has an integer below 2^248; Wine's certificate verifier (the Windows
// client's tests run under it) reads such a signature wrongly and refuses the certificate, so
// the service signs again rather than serve one.
bool HasFullLengthSignature(const X509* pCert) {
    const ASN1_BIT_STRING* pSignature = nullptr;
    X509_get0_signature(&pSignature, nullptr, pCert);
    if (pSignature == nullptr)
        return false;
    const unsigned char* p = ASN1_STRING_get0_data(pSignature);
    ECDSA_SIG* pSig = d2i_ECDSA_SIG(nullptr, &p, ASN1_STRING_length(pSignature));
    if (pSig == nullptr)
        return false;
    const BIGNUM* pR = nullptr;
    const BIGNUM* pS = nullptr;
    ECDSA_SIG_get0(pSig, &pR, &pS);
    const bool bFull = BN_num_bytes(pR) == 32 && BN_num_bytes(pS) == 32;
    ECDSA_SIG_free(pSig);
    return bFull;
}

bool MakeCertificate(SCertificate& rOut) {
    PkeyPtr key(EVP_EC_gen("P-256"));
    X509Ptr cert(X509_new());
    if (!key || !cert) {
        return false;
    }
    unsigned char abSerial[16];
    if (RAND_bytes(abSerial, sizeof abSerial) != 1) {
        return false;
    }
    abSerial[0] &= 0x7F;
    BIGNUM* pSerial = BN_bin2bn(abSerial, sizeof abSerial, nullptr);
    bool bOk = pSerial != nullptr && BN_to_ASN1_INTEGER(pSerial, X509_get_serialNumber(cert.get()));
    BN_free(pSerial);
    X509_NAME* pName = X509_get_subject_name(cert.get());
    bOk = bOk && X509_set_version(cert.get(), 2) == 1 &&
          X509_gmtime_adj(X509_getm_notBefore(cert.get()), -3600) != nullptr &&
          X509_gmtime_adj(X509_getm_notAfter(cert.get()), kValidDays * 24 * 3600) != nullptr &&
          X509_NAME_add_entry_by_txt(pName, "O", MBSTRING_ASC,
                                     reinterpret_cast<const unsigned char*>(kOrganization), -1, -1,
                                     0) == 1 &&
          X509_NAME_add_entry_by_txt(pName, "CN", MBSTRING_ASC,
                                     reinterpret_cast<const unsigned char*>("localhost"), -1, -1,
                                     0) == 1 &&
          X509_set_issuer_name(cert.get(), pName) == 1 &&
          X509_set_pubkey(cert.get(), key.get()) == 1 &&
          // A server certificate, not an authority. No key usage: with one that lacks
          // keyCertSign, verifiers would not take the certificate for self-signed, and a
          // client trusting this very file could no longer verify it.
          AddExtension(cert.get(), NID_basic_constraints, "critical,CA:FALSE") &&
          AddExtension(cert.get(), NID_ext_key_usage, "serverAuth") &&
          AddExtension(cert.get(), NID_subject_key_identifier, "hash") &&
          AddExtension(cert.get(), NID_subject_alt_name, "IP:127.0.0.1,IP:::1,DNS:localhost");
    // Each signature is drawn anew; 64 draws all short would happen once in 2^448.
    bool bSigned = false;
    for (int i = 0; bOk && !bSigned && i < 64; ++i) {
        bOk = X509_sign(cert.get(), key.get(), EVP_sha256()) > 0;
        bSigned = bOk && HasFullLengthSignature(cert.get());
    }
    if (!bSigned) {
        return false;
    }
    rOut.cert = std::move(cert);
    rOut.key = std::move(key);
    return true;
}

std::string ToPem(bool bKey, const SCertificate& certificate) {
    BioPtr bio(BIO_new(BIO_s_mem()));
    if (!bio) {
        return {};
    }
    int nOk = bKey ? PEM_write_bio_PrivateKey(bio.get(), certificate.key.get(), nullptr, nullptr, 0,
                                              nullptr, nullptr)
                   : PEM_write_bio_X509(bio.get(), certificate.cert.get());
    if (nOk != 1) {
        return {};
    }
    char* p = nullptr;
    long n = BIO_get_mem_data(bio.get(), &p);
    return std::string(p, static_cast<size_t>(n));
}

// A certificate an older version of this service made: self-signed under its own name and
// marked as a certificate authority.
bool IsOldAuthorityOfOurs(X509* pCert) {
    X509_NAME* pSubject = X509_get_subject_name(pCert);
    int nIndex = X509_NAME_get_index_by_NID(pSubject, NID_organizationName, -1);
    if (nIndex < 0 || X509_NAME_cmp(pSubject, X509_get_issuer_name(pCert)) != 0) {
        return false;
    }
    ASN1_STRING* pValue = X509_NAME_ENTRY_get_data(X509_NAME_get_entry(pSubject, nIndex));
    const std::string strOrg(reinterpret_cast<const char*>(ASN1_STRING_get0_data(pValue)),
                             static_cast<size_t>(ASN1_STRING_length(pValue)));
    return strOrg == kOrganization && X509_check_ca(pCert) != 0;
}

}  // namespace

bool EnsureCertificate(const std::string& strDataDir, SCertificate& rOut, std::string* pStrError) {
    const std::string strDir = strDataDir + "/tls";
    const std::string strCert = strDir + "/cert.pem";
    const std::string strKey = strDir + "/key.pem";
    std::error_code ec;
    if (std::filesystem::exists(strCert, ec) && std::filesystem::exists(strKey, ec)) {
        FilePtr certFile(std::fopen(strCert.c_str(), "rb"));
        FilePtr keyFile(std::fopen(strKey.c_str(), "rb"));
        if (certFile && keyFile) {
            rOut.cert.reset(PEM_read_X509(certFile.get(), nullptr, nullptr, nullptr));
            rOut.key.reset(PEM_read_PrivateKey(keyFile.get(), nullptr, nullptr, nullptr));
        }
        if (!rOut.cert || !rOut.key ||
            X509_check_private_key(rOut.cert.get(), rOut.key.get()) != 1) {
            *pStrError = "cannot load the certificate pair in " + strDir;
            return false;
        }
        if (!IsOldAuthorityOfOurs(rOut.cert.get())) {
            return true;
        }
        std::fprintf(stderr, "zav-service: replacing the self-signed certificate in %s\n",
                     strDir.c_str());
    }
    std::filesystem::create_directories(strDir, ec);
    if (!MakeCertificate(rOut)) {
        *pStrError = "cannot make a certificate";
        return false;
    }
    std::string strKeyPem = ToPem(true, rOut);
    std::string strCertPem = ToPem(false, rOut);
    if (strKeyPem.empty() || strCertPem.empty()) {
        *pStrError = "cannot encode the certificate";
        return false;
    }
    // The key first: a certificate on disk always has its key beside it.
    return WriteFileAtomically(strKey, strKeyPem, 0600, pStrError) &&
           WriteFileAtomically(strCert, strCertPem, 0600, pStrError);
}

SslCtxPtr MakeServerContext(const SCertificate& certificate, std::string* pStrError) {
    SslCtxPtr ctx(SSL_CTX_new(TLS_server_method()));
    if (!ctx || SSL_CTX_set_min_proto_version(ctx.get(), TLS1_2_VERSION) != 1 ||
        SSL_CTX_use_certificate(ctx.get(), certificate.cert.get()) != 1 ||
        SSL_CTX_use_PrivateKey(ctx.get(), certificate.key.get()) != 1 ||
        SSL_CTX_check_private_key(ctx.get()) != 1) {
        char sz[256] = {};
        ERR_error_string_n(ERR_get_error(), sz, sizeof sz);
        *pStrError = sz;
        return nullptr;
    }
    SSL_CTX_set_options(ctx.get(), SSL_OP_NO_COMPRESSION | SSL_OP_NO_RENEGOTIATION);
    // Writes may be partial and retried from another buffer position: the front and the
    // workers write on non-blocking sockets.
    SSL_CTX_set_mode(ctx.get(),
                     SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    return ctx;
}

}  // namespace zavsvc
