// Feeds arbitrary bytes to the chunked body reader, cut where the first byte
// says, as a connection delivers them: the decoder never uses more than it
// was given and never yields more data than came in.
#include <cstddef>
#include <cstdint>
#include <span>

#include "engine/wire/ChunkedDecoder.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const size_t cut = 1 + data[0] % 64;
  const std::span<const uint8_t> input(data + 1, size - 1);
  pf::ChunkedDecoder decoder;
  pf::QSocketBuffer out(64);
  size_t offered = 0, used = 0;
  while (offered < input.size() && decoder.state() == pf::ChunkedDecoder::State::kReading) {
    offered = std::min(input.size(), offered + cut);
    const size_t taken = decoder.Decode(input.subspan(used, offered - used), out);
    if (taken > offered - used) __builtin_trap();
    used += taken;
  }
  if (static_cast<size_t>(out.used()) > used) __builtin_trap();
  return 0;
}
