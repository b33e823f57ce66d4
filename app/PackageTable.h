#pragma once
// The package this build downloads: four files (row 0 the installer, rows 1
// to 3 data archives), each with its expected size and MD5, its download
// address and its torrent, plus the package id and the resource-list
// address. Build-time data (BuiltIn); tests make their own.
#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace pf {

struct EmbeddedPackage;

struct PackageFile {
  std::string fileName;
  uint64_t size = 0;
  std::string md5;        // 32 lower-case hexadecimal digits
  std::string url;        // the file on the download server
  std::string_view torrent;  // the single-file torrent's bytes
};

struct PackageTable {
  static constexpr int kFileCount = 4;
  static constexpr uint64_t kSpareBytes = 104857600;  // room asked beyond the files

  std::array<PackageFile, kFileCount> files;
  std::string packageId;        // the installer's MD5: names the data folder and record
  std::string resourceListUrl;
  std::string caCertificates;   // PEM of the CA of the package's own HTTPS servers; may be empty

  // The rows, ids and addresses of an embedded package, its names and URLs
  // decoded (a text that is not base64 stays empty) and its torrents found
  // by their resource numbers.
  static PackageTable Decode(const EmbeddedPackage& embedded);
  // The package this build downloads, decoded once.
  static const PackageTable& BuiltIn();

  const std::string& InstallerName() const { return files[0].fileName; }
  uint64_t TotalSize() const {
    uint64_t total = 0;
    for (const PackageFile& f : files) total += f.size;
    return total;
  }
  uint64_t RequiredSpace() const { return TotalSize() + kSpareBytes; }
};

}  // namespace pf
