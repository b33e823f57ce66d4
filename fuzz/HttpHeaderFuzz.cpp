// Feeds arbitrary bytes to the HTTP answer reader as a server would send
// them: finding the header end, parsing it and reading size and file name.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "engine/wire/HttpResponseHeader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const size_t end = pf::HttpResponseHeader::FindEnd(bytes);
  if (end > size) __builtin_trap();
  pf::HttpResponseHeader header;
  header.Parse(end > 0 ? bytes.substr(0, end) : bytes);
  (void)header.ResourceSize();
  (void)header.FileName();
  (void)header.Value("Location");
  return 0;
}
