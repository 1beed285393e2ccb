// Password hashing, member ids, the login reply template and the certificate of the service.
#include <gtest/gtest.h>
#include <openssl/ecdsa.h>
#include <stdlib.h>

#include <filesystem>

#include "service/member_store.h"
#include "service/password.h"
#include "service/replies.h"
#include "service/s3_client.h"
#include "service/service.h"
#include "service/text_util.h"
#include "service/tls_cert.h"
#include "support/env_guard.h"
#include "support/sandbox.h"

namespace {

TEST(ServicePassword, HashesAreSaltedAndVerifyOnlyTheRightPassword) {
    const std::string strHash1 = zavsvc::HashPassword("p&w=x", 1000);
    const std::string strHash2 = zavsvc::HashPassword("p&w=x", 1000);
    ASSERT_EQ(strHash1.rfind("pbkdf2-sha256$1000$", 0), 0u) << strHash1;
    EXPECT_NE(strHash1, strHash2);
    EXPECT_EQ(strHash1.find("p&w=x"), std::string::npos);
    EXPECT_TRUE(zavsvc::VerifyPassword("p&w=x", strHash1));
    EXPECT_TRUE(zavsvc::VerifyPassword("p&w=x", strHash2));
    EXPECT_FALSE(zavsvc::VerifyPassword("p&w=X", strHash1));
    EXPECT_FALSE(zavsvc::VerifyPassword("", strHash1));
    std::string strTampered = strHash1;
    strTampered.back() = strTampered.back() == '0' ? '1' : '0';
    EXPECT_FALSE(zavsvc::VerifyPassword("p&w=x", strTampered));
    EXPECT_FALSE(zavsvc::VerifyPassword("p&w=x", "plain"));
    EXPECT_FALSE(zavsvc::VerifyPassword("p&w=x", "pbkdf2-sha256$0$00$00"));
}

TEST(ServicePassword, ProductionDefaultIsSlowAndTheTestSettingHasAFloor) {
    CEnvGuard env;
    env.Unset("ZAV_SERVICE_HASH_ITERATIONS");
    EXPECT_GE(zavsvc::HashIterations(), 600000);
    env.Set("ZAV_SERVICE_HASH_ITERATIONS", "5");
    EXPECT_EQ(zavsvc::HashIterations(), 1000);
}

TEST(ServiceMemberId, AcceptsOnlySafeShortNames) {
    std::string strFifteen;
    for (int i = 0; i < 15; ++i) {
        strFifteen += "가";  // 30 bytes in CP949
    }
    for (std::string str : {std::string("a"), std::string("gamer01"), std::string("A.b-c_d"),
                            std::string("x."), std::string(31, 'z'), std::string("달빛궁수"),
                            std::string("힣01"), strFifteen, "a" + strFifteen}) {
        EXPECT_TRUE(zavsvc::IsValidMemberId(str)) << str;
    }
    for (std::string str :
         {std::string(), std::string(".hidden"), std::string(".."), std::string("a/b"),
          std::string("a\\b"), std::string("a b"), std::string(32, 'z'), "ab" + strFifteen,
          std::string("ㄱ"), std::string("一"), std::string("\xEA\xB0"), std::string("\xB0\xA1"),
          std::string("a\0b", 3), std::string("a%2f")}) {
        EXPECT_FALSE(zavsvc::IsValidMemberId(str)) << str;
    }
}

// Ids arrive as the client holds them, in CP949; the service keeps them in UTF-8.
TEST(ServiceMemberId, WireIdsAreReadAsCp949) {
    EXPECT_EQ(zavsvc::MemberIdFromWire("\xB4\xDE\xBA\xFB\xB1\xC3\xBC\xF6"), "달빛궁수");
    EXPECT_EQ(zavsvc::MemberIdFromWire("gamer01"), "gamer01");
    for (std::string str :
         {std::string("\xB0"), std::string("a/b"), std::string(".\xB0\xA1"), std::string()}) {
        EXPECT_EQ(zavsvc::MemberIdFromWire(str), std::nullopt) << str;
    }
}

TEST(ServiceLoginReply, CutsLongPayloadsAtACharacterBoundary) {
    std::string strLong;
    for (int i = 0; i < 100; ++i) {
        strLong += "가";  // three bytes each
    }
    std::string strReply = zavsvc::LoginReply(true, strLong);
    std::string strPayload = strReply.substr(87, strReply.size() - 87 - 18);
    EXPECT_EQ(strPayload.size(), 198u);
    EXPECT_TRUE(zavsvc::IsValidUtf8(strPayload));
}

TEST(ServiceAuthReply, ErrorMessageStartsAtByteFifteenInCp949) {
    std::string strReply = zavsvc::AuthErr(403, "가");
    ASSERT_EQ(strReply.size(), 17u);
    EXPECT_EQ(strReply.substr(0, 4), "-ERR");
    EXPECT_EQ(strReply.substr(15), "\xB0\xA1");
}

// The wait after the fifth failure runs from the moment the failure is known, not from the
// reservation before a password check that may itself take longer than the wait.
TEST(ServiceLoginWait, RunsFromTheFailureNotFromTheReservation) {
    std::string strDir = (std::filesystem::temp_directory_path() / "zav-wait-XXXXXX").string();
    ASSERT_NE(::mkdtemp(strDir.data()), nullptr);
    {
        zavsvc::CMemberStore store;
        std::string strError;
        ASSERT_TRUE(store.Open(strDir, &strError)) << strError;
        using EGate = zavsvc::CMemberStore::EGate;
        for (int i = 0; i < 5; ++i) {
            ASSERT_EQ(store.ReserveLoginAttempt("gamer01", "192.0.2.1", 10000), EGate::Open);
        }
        ASSERT_TRUE(store.RecordLoginFailure("gamer01", "192.0.2.1", 10900));  // a slow check
        EXPECT_EQ(store.ReserveLoginAttempt("gamer01", "192.0.2.1", 11899), EGate::Throttled);
        EXPECT_EQ(store.ReserveLoginAttempt("gamer01", "192.0.2.2", 11899), EGate::Open);
        EXPECT_EQ(store.ReserveLoginAttempt("gamer01", "192.0.2.1", 11900), EGate::Open);
    }
    std::filesystem::remove_all(strDir);
}

// A member hashed at a higher count than new hashes get (an older setting) is not told apart
// from an unknown id by the time its check takes.
TEST(ServiceLoginWait, UnknownIdsAreCheckedAtTheCostOfTheCostliestStoredHash) {
    CSandbox data;
    CEnvGuard env;
    env.Set("ZAV_SERVICE_HASH_ITERATIONS", "1000");
    {
        zavsvc::CMemberStore store;
        std::string strError;
        ASSERT_TRUE(store.Open(data.Path(), &strError)) << strError;
        ASSERT_TRUE(store.Upsert("old", zavsvc::HashPassword("pw", 5000), "n"));
        ASSERT_TRUE(store.Upsert("new", zavsvc::HashPassword("pw", 1000), "n"));
    }
    zavsvc::SServeOptions options;
    options.strDataDir = data.Path();
    zavsvc::CService service(options);
    ASSERT_TRUE(service.Prepare());
    EXPECT_EQ(service.DummyHashIterations(), 5000);
    EXPECT_EQ(zavsvc::HashCost(zavsvc::WithHashCost(zavsvc::HashPassword("x", 1000), 7000)), 7000);
}

TEST(ServiceCertificate, SignatureIntegersAlwaysTakeTheirFullLength) {
    // About one ECDSA signature in 128 has an integer of 31 bytes or fewer, which Wine's
    // verifier refuses: 600 new certificates would meet one almost surely (99 %).
    for (int i = 0; i < 600; ++i) {
        CSandbox data;
        zavsvc::SCertificate certificate;
        std::string strError;
        ASSERT_TRUE(zavsvc::EnsureCertificate(data.Path(), certificate, &strError)) << strError;
        const ASN1_BIT_STRING* pSignature = nullptr;
        X509_get0_signature(&pSignature, nullptr, certificate.cert.get());
        const unsigned char* p = ASN1_STRING_get0_data(pSignature);
        std::unique_ptr<ECDSA_SIG, decltype(&ECDSA_SIG_free)> sig(
            d2i_ECDSA_SIG(nullptr, &p, ASN1_STRING_length(pSignature)), ECDSA_SIG_free);
        ASSERT_TRUE(sig);
        EXPECT_EQ(BN_num_bytes(ECDSA_SIG_get0_r(sig.get())), 32) << "certificate " << i;
        EXPECT_EQ(BN_num_bytes(ECDSA_SIG_get0_s(sig.get())), 32) << "certificate " << i;
    }
}

// The sweep forgets the rows of objects a listing leaves out, so only a whole listing counts.
TEST(ServiceS3Listing, APageCountsOnlyWhenItIsWhole) {
    const std::string strHead =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<ListBucketResult><Name>b</Name>";
    const std::string strObjects =
        "<Contents><Key>z/u/a/1/__WTF.zip</Key><Size>12</Size></Contents>"
        "<Contents><Key>z/u/b/2/__WDB.zip</Key><Size>3000000000</Size></Contents>";
    std::vector<zavsvc::SS3Object> vec{{"earlier", 1}};
    std::string strNext = "stale";
    ASSERT_TRUE(zavsvc::ParseListPage(
        strHead + "<IsTruncated>false</IsTruncated>" + strObjects + "</ListBucketResult>\n", vec,
        strNext));
    ASSERT_EQ(vec.size(), 3u);
    EXPECT_EQ(vec[2].strKey, "z/u/b/2/__WDB.zip");
    EXPECT_EQ(vec[2].nSize, 3000000000LL);
    EXPECT_EQ(strNext, "");
    ASSERT_TRUE(zavsvc::ParseListPage(strHead +
                                          "<IsTruncated>true</IsTruncated><NextContinuationToken>"
                                          "t2</NextContinuationToken></ListBucketResult>",
                                      vec, strNext));
    EXPECT_EQ(strNext, "t2");

    // Broken off, no listing at all, more to come without a token, an object without its
    // size or with a size that is none: refused, and nothing is added.
    for (const std::string& strBad : {
             strHead + "<IsTruncated>false</IsTruncated>" + strObjects.substr(0, 90),
             std::string("<Error><Code>SlowDown</Code></Error>"),
             strHead + "<IsTruncated>true</IsTruncated>" + strObjects + "</ListBucketResult>",
             strHead + "<Contents><Key>k</Key></Contents></ListBucketResult>",
             strHead + "<Contents><Key>k</Key><Size>-1</Size></Contents></ListBucketResult>",
             strHead + "<Contents><Key></Key><Size>1</Size></Contents></ListBucketResult>",
         }) {
        std::vector<zavsvc::SS3Object> vecOut;
        EXPECT_FALSE(zavsvc::ParseListPage(strBad, vecOut, strNext)) << strBad;
        EXPECT_TRUE(vecOut.empty());
    }
}

}  // namespace
