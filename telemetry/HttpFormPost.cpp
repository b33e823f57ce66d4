#include "telemetry/HttpFormPost.h"

#include <curl/curl.h>

#include <memory>
#include <mutex>

namespace pf {
namespace {

struct MarkerSearch {
  std::string marker;
  std::string tail;  // the last marker.size()-1 bytes seen, for markers split across reads
  bool found = false;
};

size_t OnReply(char* data, size_t size, size_t count, void* user) {
  auto* search = static_cast<MarkerSearch*>(user);
  const size_t length = size * count;
  if (!search->found) {
    std::string window = search->tail;
    window.append(data, length);
    if (window.find(search->marker) != std::string::npos) {
      search->found = true;
    } else {
      const size_t keep = search->marker.size() > 0 ? search->marker.size() - 1 : 0;
      search->tail = window.size() > keep ? window.substr(window.size() - keep) : window;
    }
  }
  return length;
}

void GlobalInit() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

}  // namespace

bool HttpFormPost::PostAndFind(const std::string& url, const std::string& body,
                               const std::string& marker, uint32_t connectTimeoutMs,
                               uint32_t totalTimeoutMs) {
  GlobalInit();
  std::unique_ptr<CURL, decltype(&curl_easy_cleanup)> curl(curl_easy_init(), curl_easy_cleanup);
  if (!curl) return false;
  MarkerSearch search;
  search.marker = marker;
  CURL* h = curl.get();
  curl_easy_setopt(h, CURLOPT_URL, url.c_str());
  curl_easy_setopt(h, CURLOPT_POST, 1L);
  curl_easy_setopt(h, CURLOPT_POSTFIELDS, body.data());
  curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
  curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(h, CURLOPT_MAXREDIRS, 5L);
  curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(connectTimeoutMs));
  curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, static_cast<long>(totalTimeoutMs));
  // Posting runs on engine threads: no alarm signals for time-outs.
  curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, OnReply);
  curl_easy_setopt(h, CURLOPT_WRITEDATA, &search);
  curl_easy_perform(h);
  // A reply cut short by the time-out still counts when the marker came.
  return search.found;
}

}  // namespace pf
