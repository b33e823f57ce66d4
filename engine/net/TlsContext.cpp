#include "engine/net/TlsContext.h"

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <climits>
#include <memory>

namespace pf {
namespace {

using ContextPointer = std::unique_ptr<SSL_CTX, decltype(&SSL_CTX_free)>;

// A read pulls in up to this much of the stream at once (OpenSSL's default
// is one record, which costs two system calls per 16 KiB).
constexpr size_t kReadBufferBytes = 128 * 1024;

ContextPointer BuildContext() {
  ContextPointer context(SSL_CTX_new(TLS_client_method()), &SSL_CTX_free);
  if (!context) return context;
  SSL_CTX* c = context.get();
  SSL_CTX_set_min_proto_version(c, TLS1_2_VERSION);
  SSL_CTX_set_verify(c, SSL_VERIFY_PEER, nullptr);
  // A store that cannot be found leaves only the added certificates: every
  // other server is then refused, which is the safe way to fail.
  SSL_CTX_set_default_verify_paths(c);
  // Sends go out as far as the socket takes them, from a queue that may
  // move between attempts.
  SSL_CTX_set_mode(c, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
  // Many servers close without TLS's own goodbye; the HTTP framing says
  // whether the body is whole, so such a close reads as a close.
  SSL_CTX_set_options(c, SSL_OP_IGNORE_UNEXPECTED_EOF);
  SSL_CTX_set_read_ahead(c, 1);
  SSL_CTX_set_default_read_buffer_len(c, kReadBufferBytes);
  return context;
}

}  // namespace

SSL_CTX* TlsContext::Shared() {
  static const ContextPointer context = BuildContext();
  return context.get();
}

int TlsContext::AddTrusted(std::string_view pem) {
  SSL_CTX* context = Shared();
  return context ? AddPemCertificates(SSL_CTX_get_cert_store(context), pem) : 0;
}

int TlsContext::AddPemCertificates(X509_STORE* store, std::string_view pem) {
  if (!store || pem.empty() || pem.size() > INT_MAX) return 0;
  std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())),
                                                &BIO_free);
  if (!bio) return 0;
  STACK_OF(X509_INFO)* infos = PEM_X509_INFO_read_bio(bio.get(), nullptr, nullptr, nullptr);
  // Text that is no PEM leaves its reason on this thread's queue.
  ERR_clear_error();
  if (!infos) return 0;
  int added = 0;
  for (int i = 0; i < sk_X509_INFO_num(infos); ++i) {
    X509_INFO* info = sk_X509_INFO_value(infos, i);
    if (info->x509 && X509_STORE_add_cert(store, info->x509) == 1) ++added;
  }
  sk_X509_INFO_pop_free(infos, X509_INFO_free);
  return added;
}

}  // namespace pf
