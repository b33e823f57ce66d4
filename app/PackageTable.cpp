#include "app/PackageTable.h"

#include "app/Base64.h"
#include "app/EmbeddedPackage.h"

namespace pf {

PackageTable PackageTable::Decode(const EmbeddedPackage& embedded) {
  const auto decode = [](const char* text) { return DecodeBase64(text).value_or(std::string()); };
  PackageTable table;
  for (int i = 0; i < kFileCount; ++i) {
    const EmbeddedFileRow& row = embedded.rows[i];
    PackageFile& file = table.files[i];
    file.fileName = decode(row.encodedName);
    file.size = row.size;
    file.md5 = row.md5;
    file.url = decode(row.encodedUrl);
    file.torrent = FindEmbeddedResource(kTorrentResourceType, kFirstTorrentResource + i);
  }
  table.packageId = embedded.packageId;
  table.resourceListUrl = decode(embedded.encodedResourceListUrl);
  table.caCertificates = embedded.caCertificates;
  return table;
}

const PackageTable& PackageTable::BuiltIn() {
  static const PackageTable table = Decode(kEmbeddedPackage);
  return table;
}

}  // namespace pf
