#pragma once
// The package as the build embeds it (generated from packages/<name>/ by
// packages/embed_package.py): file names and URLs base64-encoded, sizes and
// digests plain, and the resources by type and number.
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace pf {

struct EmbeddedResource {
  const char* type;
  int id;
  const unsigned char* bytes;
  size_t size;
};

struct EmbeddedFileRow {
  const char* encodedName;
  uint64_t size;
  const char* md5;
  const char* encodedUrl;
};

struct EmbeddedPackage {
  const char* name;  // the description's folder name, e.g. "demo"
  std::array<EmbeddedFileRow, 4> rows;
  const char* packageId;
  const char* encodedResourceListUrl;
  const char* caCertificates;  // PEM; empty when the package's servers need no CA of their own
  const EmbeddedResource* resources;
  size_t resourceCount;
};

// The package this build was made for.
extern const EmbeddedPackage kEmbeddedPackage;

inline constexpr const char* kTorrentResourceType = "TORRENT";
inline constexpr int kFirstTorrentResource = 301;  // one per row, in row order
inline constexpr const char* kTelemetryConfigResourceType = "DUCONF";
inline constexpr int kTelemetryConfigResource = 181;  // base64 of the telemetry INI

// A resource's bytes; empty when the build has none of that type and number.
std::string_view FindEmbeddedResource(std::string_view type, int id);

// A base64 resource as text: decoded into at most 4096 bytes and cut at its
// first NUL; empty when it is missing or not base64.
std::string DecodedEmbeddedResource(std::string_view type, int id);

}  // namespace pf
