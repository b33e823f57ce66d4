#include "platform/ListeningPorts.h"

#include <charconv>
#include <fstream>
#include <iterator>
#include <string>

namespace pf::platform {
namespace {

std::string_view NextField(std::string_view& line) {
  const size_t start = line.find_first_not_of(" \t");
  if (start == std::string_view::npos) {
    line = {};
    return {};
  }
  line.remove_prefix(start);
  const size_t end = std::min(line.find_first_of(" \t"), line.size());
  const std::string_view field = line.substr(0, end);
  line.remove_prefix(end);
  return field;
}

// "0100007F:0CEA" (or 32 hex digits for IPv6) gives 0x0CEA; anything else nothing.
bool LocalPortOf(std::string_view address, uint16_t* port) {
  const size_t colon = address.rfind(':');
  if (colon == std::string_view::npos || colon == 0) return false;
  const std::string_view hex = address.substr(colon + 1);
  if (hex.empty() || hex.size() > 4) return false;
  unsigned value = 0;
  const auto [end, error] = std::from_chars(hex.data(), hex.data() + hex.size(), value, 16);
  if (error != std::errc() || end != hex.data() + hex.size()) return false;
  *port = static_cast<uint16_t>(value);
  return true;
}

std::string ReadTable(const char* path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

}  // namespace

bool TcpTableHoldsLocalPort(std::string_view table, uint16_t port) {
  while (!table.empty()) {
    const size_t end = std::min(table.find('\n'), table.size());
    std::string_view line = table.substr(0, end);
    table.remove_prefix(std::min(end + 1, table.size()));
    // An entry: "<slot>: <local address:port> <remote address:port> <state> ..."
    const std::string_view slot = NextField(line);
    if (slot.size() < 2 || slot.back() != ':') continue;
    uint16_t local = 0;
    if (LocalPortOf(NextField(line), &local) && local == port) return true;
  }
  return false;
}

bool TcpPortInUse(uint16_t port) {
  // thread-self: the tables of this thread's network namespace, which a
  // thread may have entered on its own.
  for (const char* path : {"/proc/thread-self/net/tcp", "/proc/thread-self/net/tcp6"})
    if (TcpTableHoldsLocalPort(ReadTable(path), port)) return true;
  return false;
}

}  // namespace pf::platform
