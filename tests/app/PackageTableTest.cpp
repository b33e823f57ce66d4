// The embedded package against the description it was made from: decoded
// names and URLs, sizes, digests, the package id, each torrent's shape and
// the telemetry configuration.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <regex>
#include <string>

#include "app/Base64.h"
#include "app/EmbeddedPackage.h"
#include "app/PackageTable.h"
#include "engine/content/Base64.h"
#include "engine/content/TTorrent.h"
#include "platform/IniFile.h"

namespace pf {
namespace {

const std::string kDescription = std::string(PF_PACKAGE_DIR) + "/package.ini";

std::string Described(const std::string& section, const std::string& key) {
  return platform::IniFile::ReadString(kDescription, section, key, "");
}

std::string ReadWhole(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

TEST(PackageTexts, Base64DecodesPaddedStandardTextAndRefusesTheRest) {
  struct Case {
    const char* text;
    bool valid;
    const char* decoded;
  };
  const Case cases[] = {
      {"", true, ""},
      {"TQ==", true, "M"},
      {"TWE=", true, "Ma"},
      {"TWFu", true, "Man"},
      {"aHR0cDovL2EvYj9j", true, "http://a/b?c"},
      {"TWF", false, ""},      // not a whole group
      {"TQ=a", false, ""},     // padding inside
      {"TQ==TWFu", false, ""}, // padding before the end
      {"TW-u", false, ""},     // URL-safe alphabet
      {"TW u", false, ""},
  };
  for (const Case& c : cases) {
    const auto decoded = DecodeBase64(c.text);
    EXPECT_EQ(decoded.has_value(), c.valid) << c.text;
    if (c.valid && decoded) {
      EXPECT_EQ(*decoded, c.decoded) << c.text;
    }
  }
  // Every byte value at every position of a group.
  std::string bytes;
  for (int i = 0; i < 256; ++i) bytes.push_back(static_cast<char>(i));
  for (size_t length : {254u, 255u, 256u}) {
    const std::string part = bytes.substr(0, length);
    EXPECT_EQ(DecodeBase64(Base64::encode(part)), part) << length;
  }
}

TEST(BuiltInPackage, MatchesItsDescription) {
  const PackageTable& table = PackageTable::BuiltIn();
  const std::regex md5("[0-9a-f]{32}");
  for (int i = 0; i < PackageTable::kFileCount; ++i) {
    SCOPED_TRACE("row " + std::to_string(i));
    const std::string section = "file " + std::to_string(i);
    const PackageFile& file = table.files[i];
    EXPECT_EQ(file.fileName, Described(section, "name"));
    EXPECT_EQ(std::to_string(file.size), Described(section, "size"));
    EXPECT_EQ(file.md5, Described(section, "md5"));
    EXPECT_TRUE(std::regex_match(file.md5, md5));
    const auto url = Base64::decode(Described(section, "url"));
    ASSERT_TRUE(url.has_value());
    EXPECT_EQ(file.url, *url);
    EXPECT_EQ(file.url.rfind("http", 0), 0u);
  }
  const std::array<const char*, 3> dataFiles = {"Data156.zip", "Data15601.cab", "Data15602.cab"};
  for (int i = 1; i < PackageTable::kFileCount; ++i) EXPECT_EQ(table.files[i].fileName, dataFiles[i - 1]);
  EXPECT_TRUE(table.InstallerName().ends_with(".exe"));
  EXPECT_EQ(table.InstallerName(), Described("package", "installer"));
  EXPECT_EQ(table.packageId, table.files[0].md5);
  EXPECT_EQ(table.resourceListUrl.rfind("https://", 0), 0u);
  EXPECT_EQ(table.resourceListUrl, Base64::decode(Described("package", "resource-list")));
  const std::string ca = Described("package", "ca");
  EXPECT_EQ(table.caCertificates, ca.empty() ? "" : ReadWhole(std::string(PF_PACKAGE_DIR) + "/" + ca));
  if (std::string(kEmbeddedPackage.name) == "full") {
    const std::array<uint64_t, 4> sizes = {3145216, 3718156685, 4294967296, 4294967296};
    for (int i = 0; i < PackageTable::kFileCount; ++i) EXPECT_EQ(table.files[i].size, sizes[i]) << i;
    EXPECT_EQ(table.TotalSize(), 12311236493u);
  }
}

TEST(BuiltInPackage, EachTorrentIsItsRowsSingleFile) {
  const PackageTable& table = PackageTable::BuiltIn();
  for (int i = 0; i < PackageTable::kFileCount; ++i) {
    SCOPED_TRACE("row " + std::to_string(i));
    const PackageFile& file = table.files[i];
    EXPECT_EQ(file.torrent, FindEmbeddedResource("TORRENT", 301 + i));
    EXPECT_EQ(file.torrent, ReadWhole(std::string(PF_PACKAGE_DIR) + "/" + Described("file " + std::to_string(i),
                                                                                     "torrent")));
    TTorrent torrent;
    ASSERT_TRUE(torrent.OpenBytes(file.torrent.data(), static_cast<int64_t>(file.torrent.size()))) << torrent.Error();
    EXPECT_FALSE(torrent.IsMultiFile());
    EXPECT_EQ(torrent.Name(), file.fileName);
    EXPECT_EQ(static_cast<uint64_t>(torrent.TotalLength()), file.size);
    EXPECT_EQ(torrent.PieceLength(), i == 0 ? 32768 : 2097152);
    EXPECT_EQ(static_cast<int64_t>(torrent.PieceCount()),
              (torrent.TotalLength() + torrent.PieceLength() - 1) / torrent.PieceLength());
  }
  EXPECT_TRUE(FindEmbeddedResource("TORRENT", 305).empty());
  EXPECT_TRUE(FindEmbeddedResource("DUCONF", 301).empty());
}

TEST(BuiltInPackage, TelemetryConfigurationIsTheDescribedIniBase64Encoded) {
  const std::string ini = ReadWhole(std::string(PF_PACKAGE_DIR) + "/" + Described("package", "telemetry"));
  ASSERT_FALSE(ini.empty());
  EXPECT_EQ(FindEmbeddedResource("DUCONF", 181), Base64::encode(ini));
  const std::string text = DecodedEmbeddedResource("DUCONF", 181);
  EXPECT_EQ(text, ini);
  EXPECT_NE(text.find("[SubmitEventDownloadSeveral]"), std::string::npos);
  EXPECT_NE(text.find("SubmitUrl="), std::string::npos);
}

}  // namespace
}  // namespace pf
