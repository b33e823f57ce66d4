#pragma once
// The statistics collector of tools/, started on a free loopback port, and
// the telemetry INI that points the engine at it.
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "support/ChildProcess.h"

namespace pf::testing {

namespace fs = std::filesystem;

class Collector {
 public:
  Collector(const fs::path& out, std::vector<std::string> extra = {}) {
    std::vector<std::string> argv{"/usr/bin/python3", STATCOLLECTOR_PATH, "--out", out.string()};
    argv.insert(argv.end(), extra.begin(), extra.end());
    std::string line;
    if (process_.Start(argv) && process_.ReadLine(&line) && line.rfind("PORT ", 0) == 0) port_ = std::stoi(line.substr(5));
  }
  int Port() const { return port_; }
  std::string Url(const std::string& path = "/stat") const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
  }

 private:
  ChildProcess process_;
  int port_ = 0;
};

inline void WriteConfig(const fs::path& ini, const std::vector<std::string>& servers) {
  std::ofstream out(ini, std::ios::binary);
  out << "[SubmitEventDownload]\r\nInputDataKeyWord=DVersion;GameID;GVersion;AppVersion\r\n"
         "SubmitDataKeyWord=MachId;Mac;OS\r\n[SubmitEventDownloadSeveral]\r\n";
  for (size_t i = 0; i < servers.size(); ++i)
    out << "SubmitUrl" << (i ? std::to_string(i) : "") << "=" << servers[i] << "\r\n";
}

}  // namespace pf::testing
