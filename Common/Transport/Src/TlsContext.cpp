#include "TlsContext.h"

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/pkcs12.h>
#include <openssl/provider.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "FileIo.h"
#include "Logger.h"
#include "Result.h"

namespace corvane {

namespace {

struct BioFree {
  void operator()(BIO* b) const { BIO_free(b); }
};
struct Pkcs12Free {
  void operator()(PKCS12* p) const { PKCS12_free(p); }
};
struct X509Free {
  void operator()(X509* x) const { X509_free(x); }
};
struct PkeyFree {
  void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
};
struct PkeyCtxFree {
  void operator()(EVP_PKEY_CTX* c) const { EVP_PKEY_CTX_free(c); }
};
using BioPtr = std::unique_ptr<BIO, BioFree>;
using X509Ptr = std::unique_ptr<X509, X509Free>;
using PkeyPtr = std::unique_ptr<EVP_PKEY, PkeyFree>;

// Encrypted keys must never make OpenSSL ask the terminal for a password.
int NoPassword(char*, int, int, void*) { return 0; }

// Certificates, keys and bundles are a few KiB; anything near this is not one.
constexpr size_t kMaxCredentialFileBytes = 16u << 20;

// A read-only memory BIO over bytes that outlive it; each parse attempt
// gets a fresh one, as a rewind of the file did.
BioPtr MemoryBio(const std::string& bytes) {
  return BioPtr(BIO_new_mem_buf(bytes.data(), static_cast<int>(bytes.size())));
}

const char* OrNull(const char* text) { return text ? text : "(null)"; }

bool IsRsa(EVP_PKEY* key) { return key && EVP_PKEY_is_a(key, "RSA"); }

// The key pair's own consistency check (what RSA_check_key did).
bool IsValidRsa(EVP_PKEY* key) {
  if (!IsRsa(key)) return false;
  std::unique_ptr<EVP_PKEY_CTX, PkeyCtxFree> ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, key, nullptr));
  return ctx && EVP_PKEY_check(ctx.get()) == 1;
}

int FailWithDump(const char* message) {
  TlsContext::LogSslSyscallErrors();
  LOG_SEVERE("%s", message);
  return Result_Fail;
}

EVP_PKEY* ReadRsaKeyFile(const std::string& bytes) {
  BioPtr pem = MemoryBio(bytes);
  PkeyPtr key(pem ? PEM_read_bio_PrivateKey(pem.get(), nullptr, NoPassword, nullptr) : nullptr);
  if (!key) {
    BioPtr der = MemoryBio(bytes);
    key.reset(der ? d2i_PrivateKey_bio(der.get(), nullptr) : nullptr);
  }
  return IsRsa(key.get()) ? key.release() : nullptr;
}

// Kept loaded for the life of the process.
OSSL_PROVIDER* g_legacyProvider = nullptr;
OSSL_PROVIDER* g_defaultProvider = nullptr;

}  // namespace

void SslContextDeleter::operator()(SSL_CTX* context) const { SSL_CTX_free(context); }

void TlsContext::InitializeLibrary() {
  static std::once_flag once;
  std::call_once(once, [] {
    // No clean-up at exit: connections are destroyed on the deletion
    // thread, which may still be freeing TLS sessions and contexts while
    // the process exits; the library's state must outlive them.
    OPENSSL_init_ssl(OPENSSL_INIT_LOAD_SSL_STRINGS | OPENSSL_INIT_LOAD_CRYPTO_STRINGS | OPENSSL_INIT_NO_ATEXIT,
                     nullptr);
    g_legacyProvider = OSSL_PROVIDER_load(nullptr, "legacy");
    g_defaultProvider = OSSL_PROVIDER_load(nullptr, "default");
    ERR_clear_error();
  });
}

SslContextPtr TlsContext::CreateContext() {
  InitializeLibrary();
  SslContextPtr context(SSL_CTX_new(TLS_method()));
  if (!context) return nullptr;
  if (SSL_CTX_set_min_proto_version(context.get(), TLS1_2_VERSION) != 1 ||
      SSL_CTX_set_max_proto_version(context.get(), TLS1_2_VERSION) != 1) {
    return nullptr;
  }
  SSL_CTX_set_options(context.get(), SSL_OP_NO_RENEGOTIATION);
  return context;
}

int TlsContext::InitializeSSL(SSL_CTX* context, const EncryptionStruct& settings) {
  if (!context) return Result_Fail;
  ERR_clear_error();
  if (!settings.cipherList.empty() && SSL_CTX_set_cipher_list(context, settings.cipherList.c_str()) != 1) {
    ERR_clear_error();
    LOG_RECORD(record, Log_Severe, 0);
    return record.ReturnResult(Result_Fail, "Failed to set cipher list");
  }
  X509* rawCert = nullptr;
  EVP_PKEY* rawKey = nullptr;
  getSSLCertAndKey(settings.certificate, settings.privateKey, &rawCert, &rawKey);
  X509Ptr cert(rawCert);
  PkeyPtr key(rawKey);
  bool loaded = false;
  if (!cert || SSL_CTX_use_certificate(context, cert.get()) != 1) {
    LOG_SEVERE("Unable to load cert");
  } else if (!key || SSL_CTX_use_PrivateKey(context, key.get()) != 1) {
    LOG_SEVERE("Unable to load private key");
  } else {
    loaded = true;
  }
  ERR_clear_error();
  if (loaded) return Result_Ok;
  LOG_RECORD(record, Log_Severe, 0);
  return record.ReturnResult(Result_Fail);
}

int TlsContext::getSSLCertAndKey(const std::string& certificate, const std::string& privateKey, X509** cert,
                                 EVP_PKEY** key) {
  if (!cert || !key) return Result_InvalidPointer;
  if (platform::PathExists(certificate)) {
    std::string bytes;
    if (!platform::ReadSmallFile(certificate, kMaxCredentialFileBytes, &bytes)) {
      LOG_SEVERE("Error opening certificate file");
      return Result_Fail;
    }
    BioPtr pem = MemoryBio(bytes);
    X509* read = pem ? PEM_read_bio_X509(pem.get(), nullptr, NoPassword, nullptr) : nullptr;
    if (!read) {
      BioPtr der = MemoryBio(bytes);
      read = der ? d2i_X509_bio(der.get(), nullptr) : nullptr;
    }
    if (read) {
      *cert = read;
      ERR_clear_error();
    } else {
      BioPtr der = MemoryBio(bytes);
      std::unique_ptr<PKCS12, Pkcs12Free> bundle(der ? d2i_PKCS12_bio(der.get(), nullptr) : nullptr);
      if (!bundle) {
        ERR_clear_error();
        LOG_SEVERE("Error reading PKCS#12 certificate file");
        return Result_Fail;
      }
      EVP_PKEY* bundleKey = nullptr;
      STACK_OF(X509)* chain = nullptr;
      const int parsed = PKCS12_parse(bundle.get(), privateKey.c_str(), &bundleKey, cert, &chain);
      PkeyPtr ownedKey(bundleKey);
      sk_X509_pop_free(chain, X509_free);
      if (parsed != 1) return FailWithDump("Error parsing PKCS#12 certificate file");
      // Only RSA keys are served; an EC key or none is refused, not loaded.
      if (!IsValidRsa(ownedKey.get())) return FailWithDump("Error validating RSA key.");
      *key = ownedKey.release();
      ERR_clear_error();
      return Result_Ok;
    }
  } else {
    BioPtr bio(BIO_new_mem_buf(certificate.c_str(), -1));
    X509* read = bio ? PEM_read_bio_X509(bio.get(), nullptr, NoPassword, nullptr) : nullptr;
    if (!read) return FailWithDump("Unable to load cert");
    *cert = read;
  }

  if (platform::PathExists(privateKey)) {
    std::string bytes;
    if (!platform::ReadSmallFile(privateKey, kMaxCredentialFileBytes, &bytes)) {
      LOG_SEVERE("Error opening private key file");
      return Result_Fail;
    }
    EVP_PKEY* read = ReadRsaKeyFile(bytes);
    if (!read) return FailWithDump("Error parsing private key file");
    *key = read;
  } else {
    BioPtr bio(BIO_new_mem_buf(privateKey.c_str(), -1));
    PkeyPtr read(bio ? PEM_read_bio_PrivateKey(bio.get(), nullptr, NoPassword, nullptr) : nullptr);
    if (!IsRsa(read.get())) return FailWithDump("Unable to load pk");
    *key = read.release();
  }
  // A failed PEM attempt before a DER success leaves errors queued, which
  // would later be taken for the outcome of a TLS read on this thread.
  ERR_clear_error();
  return Result_Ok;
}

void TlsContext::LogSslSyscallErrors() {
  const int error = errno;
  LOG_SEVERE("SSL_ERROR_SYSCALL detected, errno: %d, GET_ERROR_CODE: %d. Error stack:", error, error);
  for (unsigned long code = ERR_get_error(); code != 0; code = ERR_get_error()) {
    LOG_SEVERE("      sub error: %d --- %s --- %s --- %s", static_cast<int>(code), OrNull(ERR_lib_error_string(code)),
               "(null)", OrNull(ERR_reason_error_string(code)));
  }
}

}  // namespace corvane
