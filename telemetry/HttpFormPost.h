#pragma once
// One HTTP POST of a ready-made form body, with connect and total time-outs;
// answers whether the server's reply contained the success marker.
#include <cstdint>
#include <string>

namespace pf {

struct HttpFormPost {
  // Reads the reply as it arrives and keeps only a few bytes of it, so a
  // server answering megabytes costs no memory.
  static bool PostAndFind(const std::string& url, const std::string& body, const std::string& marker,
                          uint32_t connectTimeoutMs, uint32_t totalTimeoutMs);
};

}  // namespace pf
