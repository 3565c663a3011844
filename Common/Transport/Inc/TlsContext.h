// TLS for the message transport on OpenSSL 3: the once-per-process library
// set-up, the transport's context (TLS 1.2 only, no renegotiation, serving
// both the accepting and the connecting side, no peer verification) and the
// loading of the cipher list, certificate and RSA key of an
// EncryptionStruct. Nothing here ever logs the settings' strings.
#pragma once

#include <memory>
#include <string>

#include "ITransport.h"

typedef struct ssl_ctx_st SSL_CTX;
typedef struct x509_st X509;
typedef struct evp_pkey_st EVP_PKEY;

namespace corvane {

struct SslContextDeleter {
  void operator()(SSL_CTX* context) const;
};
using SslContextPtr = std::unique_ptr<SSL_CTX, SslContextDeleter>;

class TlsContext {
 public:
  // Library strings and the "legacy" and "default" providers (so stored
  // PKCS#12 bundles with old ciphers still open; a failed load is ignored).
  // Safe to call from any thread, any number of times.
  static void InitializeLibrary();

  // A new context, or null (nothing logged).
  static SslContextPtr CreateContext();

  // Cipher list, then certificate and key. A rejected cipher list logs
  // "Failed to set cipher list" and loads nothing. Otherwise a failure logs
  // "Unable to load cert" or "Unable to load private key" and an empty
  // failed result. A null context gives Result_Fail.
  static int InitializeSSL(SSL_CTX* context, const EncryptionStruct& settings);

  // The certificate from a file (PEM, DER, or PKCS#12 with privateKey as the
  // password) or else from PEM text; the RSA key from the bundle, a file
  // (PEM, DER) or else PEM text. Each failure logs its own line and gives
  // Result_Fail. Outputs set before a failure stay set; the caller owns and
  // frees them. Encrypted keys never prompt: no password is supplied.
  static int getSSLCertAndKey(const std::string& certificate, const std::string& privateKey, X509** cert,
                              EVP_PKEY** key);

  // Logs errno and the calling thread's OpenSSL error queue, emptying it.
  static void LogSslSyscallErrors();
};

}  // namespace corvane
