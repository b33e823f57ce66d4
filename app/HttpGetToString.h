#pragma once
// One HTTP(S) GET into memory, for the resource list.
#include <atomic>
#include <string>

namespace pf {

struct HttpGetOptions {
  int timeoutSeconds = 0;  // the whole transfer; 0 = none
  // PEM certificates trusted for HTTPS besides the system's store (the
  // package's own servers); empty = the system's store alone.
  std::string caCertificates;
  // When set, a transfer under way ends soon after it turns true.
  const std::atomic<bool>* cancel = nullptr;
};

// Fetches `url`, following redirects, with the server's certificate and
// name verified. True when the transfer succeeded and the status is not
// 4xx or 5xx. On failure `error` says so ("Failed to get URL" or
// "Connection initializion failed\n") and standard error has the details.
bool HttpGetToString(const std::string& url, std::string& body, std::string& error, long& status,
                     const HttpGetOptions& options = {});

}  // namespace pf
