#pragma once
// What every TLS connection of the engine shares: one client context, built
// on first use, that verifies servers against the system's trust store and
// the certificates the application adds (a package's own CA).
#include <openssl/types.h>

#include <string_view>

namespace pf {

class TlsContext {
 public:
  // The process's context; null when OpenSSL could not build one. Built once
  // and never changed afterwards except for its trust store, which OpenSSL
  // guards with its own lock, so any thread may use it.
  static SSL_CTX* Shared();

  // Trusts the PEM certificates in `pem` for every connection made after
  // this call: the number of certificates taken (0 when none could be read).
  static int AddTrusted(std::string_view pem);

  // Adds the PEM certificates in `pem` to `store`: the number taken.
  static int AddPemCertificates(X509_STORE* store, std::string_view pem);
};

}  // namespace pf
