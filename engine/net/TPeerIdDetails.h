#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace pf {

// The text parts of a parsed source address.
struct TPeerIdDetails {
  std::string scheme;    // tracker: the wrapped URL's scheme
  std::string host;
  std::string user;
  std::string password;
  std::string path;      // FTP and tracker
  std::string query;     // tracker: the text after "?"
  std::string httpPath;  // HTTP: from the first "/" after the host
  std::string fileName;  // HTTP and FTP: the last path component
  std::string hostName;  // mirrors: the host name its HTTP requests carry instead of `host`
  std::vector<uint32_t> addresses;  // further IPv4 addresses of the host, network order
};

}  // namespace pf
