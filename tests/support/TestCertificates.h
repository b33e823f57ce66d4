#pragma once
// Certificates for tests of HTTPS on loopback, made with openssl.
#include <cstdlib>
#include <filesystem>
#include <string>

#include "support/LoopbackServers.h"

namespace pf::testing {

// A CA and a server certificate signed by it for the names in `altNames`
// (127.0.0.1 alone unless given): <dir>/<name>-ca.pem, <name>-server.pem and
// <name>-server.key.
inline bool MakeCa(const std::filesystem::path& dir, const std::string& name,
                   const std::string& altNames = "IP:127.0.0.1") {
  const auto run = [](const std::string& command) {
    return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
  };
  const std::string d = dir.string() + "/" + name;
  return run("openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj '/CN=" + name + " CA' -keyout " + d +
             "-ca.key -out " + d + "-ca.pem") &&
         run("openssl req -newkey rsa:2048 -nodes -subj /CN=127.0.0.1 -keyout " + d + "-server.key -out " + d +
             "-server.csr") &&
         (WriteFile(d + ".ext", "subjectAltName=" + altNames + "\n"), true) &&
         run("openssl x509 -req -in " + d + "-server.csr -CA " + d + "-ca.pem -CAkey " + d +
             "-ca.key -CAcreateserial -days 2 -extfile " + d + ".ext -out " + d + "-server.pem");
}

}  // namespace pf::testing
