#include "app/HttpGetToString.h"

#include <curl/curl.h>
#include <openssl/ssl.h>

#include <cstdio>
#include <mutex>

#include "engine/net/TlsContext.h"

namespace pf {
namespace {

size_t AppendBody(char* data, size_t size, size_t count, void* body) {
  static_cast<std::string*>(body)->append(data, size * count);
  return size * count;
}

int CancelCheck(void* flag, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  return static_cast<const std::atomic<bool>*>(flag)->load() ? 1 : 0;
}

// Adds the PEM certificates in `pem` to the TLS context's trust store, which
// libcurl has already filled from the system's.
CURLcode AddCertificates(CURL*, void* tlsContext, void* pem) {
  X509_STORE* store = SSL_CTX_get_cert_store(static_cast<SSL_CTX*>(tlsContext));
  const int added = TlsContext::AddPemCertificates(store, *static_cast<const std::string*>(pem));
  return added > 0 ? CURLE_OK : CURLE_SSL_CACERT_BADFILE;
}

struct EasyHandle {
  CURL* handle = curl_easy_init();
  ~EasyHandle() {
    if (handle) curl_easy_cleanup(handle);
  }
};

}  // namespace

bool HttpGetToString(const std::string& url, std::string& body, std::string& error, long& status,
                     const HttpGetOptions& options) {
  static std::once_flag global;
  std::call_once(global, [] { curl_global_init(CURL_GLOBAL_ALL); });
  status = 0;
  EasyHandle easy;
  CURL* curl = easy.handle;
  if (!curl) {
    std::fprintf(stderr, "Failed to create CURL connection\n");
    error = "Failed to create CURL connection\n";
    return false;
  }
  char errorBuffer[CURL_ERROR_SIZE] = {};
  const auto failed = [&](const char* format, const char* detail) {
    std::fprintf(stderr, format, detail);
    error = "Connection initializion failed\n";
    return false;
  };
  CURLcode code = curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, errorBuffer);
  if (code != CURLE_OK) {
    std::fprintf(stderr, "Failed to set error buffer [%d]\n", static_cast<int>(code));
    error = "Connection initializion failed\n";
    return false;
  }
  if (curl_easy_setopt(curl, CURLOPT_URL, url.c_str()) != CURLE_OK) return failed("Failed to set URL [%s]\n", errorBuffer);
  // Redirects stay on HTTP(S): a list must not send us to file:// or elsewhere.
  if (curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L) != CURLE_OK ||
      curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https") != CURLE_OK ||
      curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, "http,https") != CURLE_OK)
    return failed("Failed to set redirect option [%s]\n", errorBuffer);
  if (curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, AppendBody) != CURLE_OK)
    return failed("Failed to set writer [%s]\n", errorBuffer);
  if (curl_easy_setopt(curl, CURLOPT_WRITEDATA, &body) != CURLE_OK)
    return failed("Failed to set write data [%s]\n", errorBuffer);
  // Worker threads call this: no signals for time-outs.
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  if (options.timeoutSeconds != 0) curl_easy_setopt(curl, CURLOPT_TIMEOUT, static_cast<long>(options.timeoutSeconds));
  if (options.cancel) {
    curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, CancelCheck);
    curl_easy_setopt(curl, CURLOPT_XFERINFODATA, options.cancel);
    curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
  }
  // The server's certificate and name are checked (libcurl's default); the
  // package's own CA joins the system's store.
  if (curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 1L) != CURLE_OK)
    return failed("Failed to set CURLOPT_SSL_VERIFYPEER  [%s]\n", errorBuffer);
  if (curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 2L) != CURLE_OK)
    return failed("Failed to set CURLOPT_SSL_VERIFYHOST [%s]\n", errorBuffer);
  if (!options.caCertificates.empty() &&
      (curl_easy_setopt(curl, CURLOPT_SSL_CTX_FUNCTION, AddCertificates) != CURLE_OK ||
       curl_easy_setopt(curl, CURLOPT_SSL_CTX_DATA, &options.caCertificates) != CURLE_OK))
    return failed("Failed to set the package's CA [%s]\n", errorBuffer);

  code = curl_easy_perform(curl);
  curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
  if (code != CURLE_OK || (status >= 400 && status <= 599)) {
    if (!errorBuffer[0]) std::snprintf(errorBuffer, sizeof errorBuffer, "HTTP status %ld", status);
    std::fprintf(stderr, "Failed to get '%s' [%s]\n", url.c_str(), errorBuffer);
    error = "Failed to get " + url;
    return false;
  }
  return true;
}

}  // namespace pf
