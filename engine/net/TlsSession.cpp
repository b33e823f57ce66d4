#include "engine/net/TlsSession.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <cstring>

#include "engine/net/TlsContext.h"

namespace pf {
namespace {

// The error number of a session that broke (WSAECONNABORTED, as the
// engine's other own numbers follow the same family).
constexpr int kTlsBroken = 10053;

TlsSession::Channel& ChannelOf(BIO* bio) { return *static_cast<TlsSession::Channel*>(BIO_get_data(bio)); }

int WriteToSocket(BIO* bio, const char* data, int length) {
  TlsSession::Channel& channel = ChannelOf(bio);
  BIO_clear_retry_flags(bio);
  int error = 0;
  const int n = platform::SendSocket(channel.handle, data, length, &error);
  if (n >= 0) return n;
  if (error == platform::kSocketWouldBlock) BIO_set_retry_write(bio);
  else channel.error = error;
  return -1;
}

int ReadFromSocket(BIO* bio, char* buffer, int length) {
  TlsSession::Channel& channel = ChannelOf(bio);
  BIO_clear_retry_flags(bio);
  int error = 0;
  const int n = platform::ReceiveSocket(channel.handle, buffer, length, &error);
  if (n >= 0) return n;  // 0: the server closed
  if (error == platform::kSocketWouldBlock) BIO_set_retry_read(bio);
  else channel.error = error;
  return -1;
}

long ControlSocket(BIO*, int command, long, void*) { return command == BIO_CTRL_FLUSH ? 1 : 0; }

// The BIO type that moves records through the platform's socket calls; made
// once for the process.
const BIO_METHOD* SocketMethod() {
  static const std::unique_ptr<BIO_METHOD, decltype(&BIO_meth_free)> method = [] {
    std::unique_ptr<BIO_METHOD, decltype(&BIO_meth_free)> m(
        BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "engine socket"), &BIO_meth_free);
    if (m && (BIO_meth_set_write(m.get(), WriteToSocket) != 1 || BIO_meth_set_read(m.get(), ReadFromSocket) != 1 ||
              BIO_meth_set_ctrl(m.get(), ControlSocket) != 1))
      m.reset();
    return m;
  }();
  return method.get();
}

}  // namespace

TlsSession::TlsSession(platform::SocketHandle handle, const std::string& hostName) : ssl_(nullptr, &SSL_free) {
  channel_.handle = handle;
  SSL_CTX* context = TlsContext::Shared();
  const BIO_METHOD* method = SocketMethod();
  if (!context || !method) {
    failure_ = "TLS is not available";
    return;
  }
  if (hostName.empty()) {
    failure_ = "no host name to check the certificate against";
    return;
  }
  ERR_clear_error();
  ssl_.reset(SSL_new(context));
  BIO* bio = ssl_ ? BIO_new(method) : nullptr;
  if (!bio) {
    ssl_.reset();
    failure_ = "TLS is not available (out of memory)";
    return;
  }
  BIO_set_data(bio, &channel_);
  BIO_set_init(bio, 1);
  SSL_set_bio(ssl_.get(), bio, bio);  // the session owns the BIO from here
  // An address is checked against the certificate's IP entries; a name
  // against its DNS entries, and it is also sent (SNI) so that a server
  // with several names shows the right certificate.
  X509_VERIFY_PARAM* check = SSL_get0_param(ssl_.get());
  if (X509_VERIFY_PARAM_set1_ip_asc(check, hostName.c_str()) != 1) {
    ERR_clear_error();
    if (SSL_set1_host(ssl_.get(), hostName.c_str()) != 1 ||
        SSL_set_tlsext_host_name(ssl_.get(), hostName.c_str()) != 1) {
      ssl_.reset();
      failure_ = "the host name " + hostName + " cannot be checked";
      return;
    }
  }
  SSL_set_connect_state(ssl_.get());
}

TlsSession::~TlsSession() = default;

TlsSession::Step TlsSession::Handshake() {
  if (established_) return Step::kDone;
  if (!ssl_ || !failure_.empty()) return Step::kFailed;
  ERR_clear_error();
  const int result = SSL_do_handshake(ssl_.get());
  if (result == 1) {
    established_ = true;
    wantsWrite_ = false;
    return Step::kDone;
  }
  const int sslError = SSL_get_error(ssl_.get(), result);
  if (sslError == SSL_ERROR_WANT_READ || sslError == SSL_ERROR_WANT_WRITE) {
    wantsWrite_ = sslError == SSL_ERROR_WANT_WRITE;
    return Step::kMore;
  }
  SetFailure(sslError);
  return Step::kFailed;
}

void TlsSession::SetFailure(int sslError) {
  const long verified = SSL_get_verify_result(ssl_.get());
  if (verified != X509_V_OK) {
    failure_ = std::string("certificate refused: ") + X509_verify_cert_error_string(verified);
  } else if (const unsigned long code = ERR_peek_last_error()) {
    const char* reason = ERR_reason_error_string(code);
    char text[256];
    if (!reason) ERR_error_string_n(code, text, sizeof text);
    failure_ = std::string("handshake failed: ") + (reason ? reason : text);
  } else if (sslError == SSL_ERROR_SYSCALL && channel_.error != 0) {
    failure_ = "the connection broke during the handshake (error " + std::to_string(channel_.error) + ")";
  } else {
    failure_ = "the server closed the connection during the handshake";
  }
  ERR_clear_error();
}

int TlsSession::Stalled(int sslError, int* error) {
  if (sslError == SSL_ERROR_WANT_READ || sslError == SSL_ERROR_WANT_WRITE) {
    *error = platform::kSocketWouldBlock;
  } else {
    *error = channel_.error != 0 ? channel_.error : kTlsBroken;
    if (failure_.empty()) {
      const unsigned long code = ERR_peek_last_error();
      const char* reason = code ? ERR_reason_error_string(code) : nullptr;
      failure_ = std::string("TLS broke: ") + (reason ? reason : "the connection failed");
    }
  }
  ERR_clear_error();
  return -1;
}

int TlsSession::Send(const void* data, int length, int* error) {
  if (!established_) {
    *error = ssl_ ? platform::kSocketWouldBlock : kTlsBroken;
    return -1;
  }
  if (length <= 0) return 0;
  ERR_clear_error();
  size_t written = 0;
  const int result = SSL_write_ex(ssl_.get(), data, static_cast<size_t>(length), &written);
  if (result == 1) return static_cast<int>(written);
  return Stalled(SSL_get_error(ssl_.get(), result), error);
}

int TlsSession::Receive(void* buffer, int length, int* error) {
  if (!established_) {
    *error = ssl_ ? platform::kSocketWouldBlock : kTlsBroken;
    return -1;
  }
  // One SSL_read gives at most one record (16 KiB): the buffer is filled
  // from as many as are at hand, as one socket read would fill it.
  auto* out = static_cast<uint8_t*>(buffer);
  int total = 0;
  lastReadFilled_ = false;
  ERR_clear_error();
  while (total < length) {
    size_t got = 0;
    const int result = SSL_read_ex(ssl_.get(), out + total, static_cast<size_t>(length - total), &got);
    if (result == 1) {
      total += static_cast<int>(got);
      continue;
    }
    // What came is reported now; a close or an error shows again on the
    // next call.
    if (total > 0) break;
    const int sslError = SSL_get_error(ssl_.get(), result);
    if (sslError == SSL_ERROR_ZERO_RETURN) return 0;
    return Stalled(sslError, error);
  }
  ERR_clear_error();
  lastReadFilled_ = total == length;
  return total;
}

bool TlsSession::HoldsInput() const { return lastReadFilled_ && SSL_has_pending(ssl_.get()) == 1; }

}  // namespace pf
