#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/pkcs12.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "TlsContext.h"
#include "TransportTestSupport.h"

namespace corvane {
namespace {

// Certificates and keys made once for the whole suite (2048-bit RSA: the
// library's default security level refuses smaller ones).
class TlsFixtures {
 public:
  TlsFixtures() {
    char pattern[] = "/tmp/tls-fixtures-XXXXXX";
    dir_ = mkdtemp(pattern);
    // Set up the transport's way (no clean-up at exit) before our own use.
    TlsContext::InitializeLibrary();
    rsa_ = EVP_RSA_gen(2048);
    other_ = EVP_RSA_gen(2048);
    ec_ = EVP_EC_gen("P-256");
    cert_ = test::MakeSelfSignedCert(rsa_);
    ecCert_ = test::MakeSelfSignedCert(ec_);
    WriteWith("cert.pem", [&](FILE* f) { PEM_write_X509(f, cert_); });
    WriteWith("cert.der", [&](FILE* f) { i2d_X509_fp(f, cert_); });
    WriteWith("key.pem", [&](FILE* f) { PEM_write_PrivateKey(f, rsa_, nullptr, nullptr, 0, nullptr, nullptr); });
    WriteWith("key.der", [&](FILE* f) { i2d_PrivateKey_fp(f, rsa_); });
    WriteWith("encrypted.pem", [&](FILE* f) {
      PEM_write_PrivateKey(f, rsa_, EVP_aes_128_cbc(), reinterpret_cast<const unsigned char*>("pw"), 2, nullptr,
                           nullptr);
    });
    WriteBundle("bundle.p12", rsa_, cert_);
    WriteBundle("ec.p12", ec_, ecCert_);
    keyPem_ = test::PemOf([&](BIO* b) { PEM_write_bio_PrivateKey(b, rsa_, nullptr, nullptr, 0, nullptr, nullptr); });
    otherKeyPem_ = test::PemOf([&](BIO* b) { PEM_write_bio_PrivateKey(b, other_, nullptr, nullptr, 0, nullptr, nullptr); });
    ecKeyPem_ = test::PemOf([&](BIO* b) { PEM_write_bio_PrivateKey(b, ec_, nullptr, nullptr, 0, nullptr, nullptr); });
    certPem_ = test::PemOf([&](BIO* b) { PEM_write_bio_X509(b, cert_); });
  }
  ~TlsFixtures() {
    for (const char* name : {"cert.pem", "cert.der", "key.pem", "key.der", "encrypted.pem", "bundle.p12", "ec.p12"}) {
      unlink(Path(name).c_str());
    }
    rmdir(dir_.c_str());
    X509_free(cert_);
    X509_free(ecCert_);
    EVP_PKEY_free(rsa_);
    EVP_PKEY_free(other_);
    EVP_PKEY_free(ec_);
  }
  std::string Path(const char* name) const { return dir_ + "/" + name; }
  const std::string& KeyPem() const { return keyPem_; }
  const std::string& OtherKeyPem() const { return otherKeyPem_; }
  const std::string& EcKeyPem() const { return ecKeyPem_; }
  const std::string& CertPem() const { return certPem_; }
  const std::string& Dir() const { return dir_; }

 private:
  template <class F>
  void WriteWith(const char* name, F write) {
    FILE* f = std::fopen(Path(name).c_str(), "wb");
    write(f);
    std::fclose(f);
  }
  void WriteBundle(const char* name, EVP_PKEY* key, X509* cert) {
    PKCS12* bundle = PKCS12_create("secret", "test", key, cert, nullptr, 0, 0, 0, 0, 0);
    WriteWith(name, [&](FILE* f) { i2d_PKCS12_fp(f, bundle); });
    PKCS12_free(bundle);
  }
  std::string dir_;
  EVP_PKEY* rsa_;
  EVP_PKEY* other_;
  EVP_PKEY* ec_;
  X509* cert_;
  X509* ecCert_;
  std::string keyPem_, otherKeyPem_, ecKeyPem_, certPem_;
};

const TlsFixtures& Fixtures() {
  // Destroyed at exit before the library's own clean-up, which was
  // registered earlier.
  static const TlsFixtures fixtures;
  return fixtures;
}

// Loads the settings into a fresh context; returns the result and the log
// lines without the error-queue detail lines.
int Load(const std::string& cert, const std::string& key, std::vector<std::string>* lines,
         const std::string& ciphers = "") {
  test::ScopedCapture capture;
  SslContextPtr context = TlsContext::CreateContext();
  EXPECT_TRUE(context);
  EncryptionStruct settings;
  settings.enabled = true;
  settings.cipherList = ciphers;
  settings.certificate = cert;
  settings.privateKey = key;
  // Each case on a thread of its own: the logger's per-place rate limit
  // counts repeats per thread.
  int result = Result_Ok;
  std::thread([&] { result = TlsContext::InitializeSSL(context.get(), settings); }).join();
  lines->clear();
  for (const std::string& l : test::Matching(capture, "")) {
    // Error-queue detail lines repeat from one place and get rate-limited.
    if (l.rfind("      sub error: ", 0) != 0 && l.rfind("WARNING -- ", 0) != 0) lines->push_back(l);
    // Passwords and key text never reach the log.
    EXPECT_EQ(std::string::npos, l.find("secret"));
    EXPECT_EQ(std::string::npos, l.find("PRIVATE KEY"));
  }
  if (result == Result_Ok) {
    EXPECT_EQ(1, SSL_CTX_check_private_key(context.get()));
  }
  return result;
}

const char* kDump = "SSL_ERROR_SYSCALL detected, errno: ";
const std::string kEmptyFailure = "RETURN Result: 0x80000000 - ";

bool StartsWith(const std::string& s, const char* prefix) { return s.rfind(prefix, 0) == 0; }

TEST(TlsContext, CredentialsLoadFromEveryFormOrFailWithTheirLines) {
  const TlsFixtures& f = Fixtures();
  std::vector<std::string> lines;

  EXPECT_EQ(Result_Ok, Load(f.Path("cert.pem"), f.Path("key.pem"), &lines));
  EXPECT_TRUE(lines.empty());
  EXPECT_EQ(Result_Ok, Load(f.Path("cert.der"), f.KeyPem(), &lines));
  EXPECT_EQ(Result_Ok, Load(f.CertPem(), f.Path("key.der"), &lines));
  EXPECT_EQ(Result_Ok, Load(f.Path("bundle.p12"), "secret", &lines));
  EXPECT_TRUE(lines.empty());

  // (a) a path that does not exist is taken as PEM text.
  EXPECT_EQ(Result_Fail, Load("/no/such.pem", f.Path("key.pem"), &lines));
  ASSERT_EQ(4u, lines.size()) << ::testing::PrintToString(lines);
  EXPECT_TRUE(StartsWith(lines[0], kDump));
  EXPECT_EQ("Unable to load cert", lines[1]);
  EXPECT_EQ("Unable to load cert", lines[2]);
  EXPECT_EQ(kEmptyFailure, lines[3]);

  // (b) wrong bundle password.
  EXPECT_EQ(Result_Fail, Load(f.Path("bundle.p12"), "wrong", &lines));
  ASSERT_EQ(4u, lines.size()) << ::testing::PrintToString(lines);
  EXPECT_TRUE(StartsWith(lines[0], kDump));
  EXPECT_EQ("Error parsing PKCS#12 certificate file", lines[1]);
  EXPECT_EQ("Unable to load cert", lines[2]);
  EXPECT_EQ(kEmptyFailure, lines[3]);

  // (c) key text that is no key.
  EXPECT_EQ(Result_Fail, Load(f.Path("cert.pem"), "garbage", &lines));
  ASSERT_EQ(4u, lines.size()) << ::testing::PrintToString(lines);
  EXPECT_TRUE(StartsWith(lines[0], kDump));
  EXPECT_EQ("Unable to load pk", lines[1]);
  EXPECT_EQ("Unable to load private key", lines[2]);
  EXPECT_EQ(kEmptyFailure, lines[3]);

  // (d) a cipher list the library refuses: nothing else is tried.
  EXPECT_EQ(Result_Fail, Load(f.Path("cert.pem"), f.Path("key.pem"), &lines, "NOT-A-CIPHER"));
  ASSERT_EQ(1u, lines.size());
  EXPECT_EQ("RETURN Result: 0x80000000 - Failed to set cipher list", lines[0]);

  // A key of another certificate.
  EXPECT_EQ(Result_Fail, Load(f.Path("cert.pem"), f.OtherKeyPem(), &lines));
  ASSERT_EQ(2u, lines.size());
  EXPECT_EQ("Unable to load private key", lines[0]);

  // Only RSA keys are served.
  EXPECT_EQ(Result_Fail, Load(f.Path("cert.pem"), f.EcKeyPem(), &lines));
  ASSERT_EQ(4u, lines.size()) << ::testing::PrintToString(lines);
  EXPECT_EQ("Unable to load pk", lines[1]);
  EXPECT_EQ(Result_Fail, Load(f.Path("ec.p12"), "secret", &lines));
  ASSERT_EQ(4u, lines.size()) << ::testing::PrintToString(lines);
  EXPECT_TRUE(StartsWith(lines[0], kDump));
  EXPECT_EQ("Error validating RSA key.", lines[1]);
  EXPECT_EQ("Unable to load private key", lines[2]);

  // An encrypted key fails at once instead of asking for a password.
  EXPECT_EQ(Result_Fail, Load(f.Path("cert.pem"), f.Path("encrypted.pem"), &lines));
  ASSERT_EQ(4u, lines.size()) << ::testing::PrintToString(lines);
  EXPECT_EQ("Error parsing private key file", lines[1]);

  EXPECT_EQ(Result_Fail, Load(f.Dir(), f.Path("key.pem"), &lines));
  ASSERT_EQ(3u, lines.size());
  EXPECT_EQ("Error reading PKCS#12 certificate file", lines[0]);

  EncryptionStruct settings;
  EXPECT_EQ(Result_Fail, TlsContext::InitializeSSL(nullptr, settings));
}

TEST(TlsContext, ContextServesBothSidesOverTls12) {
  const TlsFixtures& f = Fixtures();
  SslContextPtr context = TlsContext::CreateContext();
  ASSERT_TRUE(context);
  EncryptionStruct settings{true, "", f.Path("cert.pem"), f.Path("key.pem")};
  ASSERT_EQ(Result_Ok, TlsContext::InitializeSSL(context.get(), settings));
  // The same context accepts and connects.
  SSL* server = SSL_new(context.get());
  SSL* client = SSL_new(context.get());
  BIO* serverBio = nullptr;
  BIO* clientBio = nullptr;
  ASSERT_EQ(1, BIO_new_bio_pair(&serverBio, 0, &clientBio, 0));
  SSL_set_bio(server, serverBio, serverBio);
  SSL_set_bio(client, clientBio, clientBio);
  SSL_set_accept_state(server);
  SSL_set_connect_state(client);
  bool done = false;
  for (int i = 0; i < 100 && !done; ++i) {
    const int c = SSL_do_handshake(client);
    const int s = SSL_do_handshake(server);
    done = c == 1 && s == 1;
  }
  ASSERT_TRUE(done);
  EXPECT_EQ(TLS1_2_VERSION, SSL_version(client));
  SSL_free(server);
  SSL_free(client);
}

}  // namespace
}  // namespace corvane
