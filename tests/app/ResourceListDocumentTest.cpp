// The resource list as the download reads it, from a table of documents:
// the P2P switch, the walk over resources and mirror groups with its stops
// and skips, garbage addresses, and the expiry.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "app/ResourceListDocument.h"

namespace pf {
namespace {

const ResourceListContext kFresh = {
    {"http://127.0.0.1:1/Setup156.exe", "http://127.0.0.1:1/Data156.zip", "http://127.0.0.1:1/Data15601.cab",
     "http://127.0.0.1:1/Data15602.cab"},
    {false, false, false, false},
    -1};

ResourceListContext With(std::array<bool, 4> complete, int verifying = -1) {
  ResourceListContext c = kFresh;
  c.complete = complete;
  c.fileBeingVerified = verifying;
  return c;
}

std::string Project(const std::string& switchText, const std::string& resources, const std::string& root = "project") {
  return "<?xml version=\"1.0\"?><" + root + "><configs><p2p-switch>" + switchText +
         "</p2p-switch></configs><resources>" + resources + "</resources></" + root + ">";
}

// A resource naming package file `file` with one open mirror group.
std::string Resource(int file, const std::string& ips = "<ip>127.0.0.5:81</ip>", const std::string& id = "r",
                     const std::string& cdnAttributes = "id=\"1\" name=\"c\" open=\"true\" host-name=\"h\"") {
  return "<resource id=\"" + id + "\" task=\"" + kFresh.packageUrls[file] + "\"><cdn " + cdnAttributes +
         " middle-dir=\"/m/\" file-name=\"f" + std::to_string(file) + "\">" + ips + "</cdn></resource>";
}

std::string M(int file, const std::string& ip, const std::string& host = "h") {
  return std::to_string(file) + " http://" + ip + "/m/f" + std::to_string(file) + " " + host;
}

TEST(ResourceListDocument, SwitchAndMirrors) {
  const std::string open = "id=\"1\" name=\"c\" open=\"true\"";
  const struct Case {
    const char* what;
    std::string document;
    ResourceListContext context;
    int result;
    std::optional<bool> p2p;
    std::vector<std::string> mirrors;
  } cases[] = {
      {"not XML", "<project><configs>", kFresh, -2, std::nullopt, {}},
      {"plain text", "mirrors: 127.0.0.5", kFresh, -2, std::nullopt, {}},
      {"wrong root changes nothing", Project("on", Resource(1), "list"), kFresh, -2, std::nullopt, {}},
      {"no switch changes nothing",
       "<project><configs/><resources>" + Resource(1) + "</resources></project>", kFresh, -2, std::nullopt, {}},
      {"switch on, no resources", Project("on", ""), kFresh, -2, true, {}},
      {"only exactly \"on\" is on", Project("On", Resource(1)), kFresh, 0, false, {M(1, "127.0.0.5:81")}},
      {"empty switch is off", Project("", ""), kFresh, -2, false, {}},
      {"every ip of a group, in order",
       Project("on", Resource(2, "<ip>127.0.0.5:81</ip><ip>127.0.0.6</ip>")), kFresh, 0, true,
       {M(2, "127.0.0.5:81"), M(2, "127.0.0.6")}},
      {"resources in document order", Project("on", Resource(3) + Resource(0)), kFresh, 0, true,
       {M(3, "127.0.0.5:81"), M(0, "127.0.0.5:81")}},
      {"no host name gives null", Project("on", Resource(1, "<ip>127.0.0.5</ip>", "r", open)), kFresh, 0, true,
       {M(1, "127.0.0.5", "null")}},
      {"a closed group adds nothing",
       Project("on", Resource(1, "<ip>127.0.0.5</ip>", "r", "id=\"1\" name=\"c\" open=\"false\"")), kFresh, -2,
       true, {}},
      {"a group without a name adds nothing",
       Project("on", Resource(1, "<ip>127.0.0.5</ip>", "r", "id=\"1\" open=\"true\"")), kFresh, -2, true, {}},
      {"an empty id ends the walk", Project("on", Resource(1) + Resource(2, "<ip>x</ip>", "") + Resource(3)),
       kFresh, 0, true, {M(1, "127.0.0.5:81")}},
      {"another element ends the walk", Project("on", Resource(1) + "<note/>" + Resource(3)), kFresh, 0, true,
       {M(1, "127.0.0.5:81")}},
      {"an unknown task is skipped without counting",
       Project("on", "<resource id=\"x\" task=\"http://127.0.0.1:1/other\"><cdn id=\"1\" name=\"c\" open=\"true\" "
                     "middle-dir=\"/\" file-name=\"o\"><ip>127.0.0.7</ip></cdn></resource>" +
                         Resource(0) + Resource(1)),
       With({true, false, false, false}), 0, true, {M(1, "127.0.0.5:81")}},
      {"the complete skip looks at the count of resources, not the file named",
       Project("on", Resource(2) + Resource(3)), With({true, false, false, false}), 0, true, {M(3, "127.0.0.5:81")}},
      {"the file being verified is read though complete", Project("on", Resource(0) + Resource(1)),
       With({true, true, true, true}, 0), 0, true, {M(0, "127.0.0.5:81")}},
      {"the ips end at the first other element",
       Project("on", Resource(1, "<ip>127.0.0.5</ip><port>1</port><ip>127.0.0.6</ip>")), kFresh, 0, true,
       {M(1, "127.0.0.5")}},
      {"garbage addresses are left out, the rest kept",
       Project("on", Resource(1, "<ip>127.0.0.5\nbtnode://127.0.0.9:1</ip><ip></ip><ip>127.0.0.5 x</ip>"
                                 "<ip>127.0.0.6</ip>")),
       kFresh, 0, true, {M(1, "127.0.0.6")}},
      {"a host name that would split is left out",
       Project("on", Resource(1, "<ip>127.0.0.5</ip>", "r", "id=\"1\" name=\"c\" open=\"true\" host-name=\"a&#10;b\"")),
       kFresh, -2, true, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const ResourceListPlan plan = ReadResourceList(c.document, c.context);
    EXPECT_EQ(plan.result, c.result);
    EXPECT_EQ(plan.p2pSwitch, c.p2p);
    std::vector<std::string> mirrors;
    for (const auto& m : plan.mirrors) mirrors.push_back(std::to_string(m.file) + " " + m.url + " " + m.hostName);
    EXPECT_EQ(mirrors, c.mirrors);
  }
}

TEST(ResourceListDocument, Expiry) {
  const auto info = [](const std::string& root, const std::string& expired) {
    return "<" + root + "><configs><expire-info><expired>" + expired +
           "</expired><message>请下载新版本</message><url>http://127.0.0.1:1/new</url></expire-info></configs></" +
           root + ">";
  };
  const struct {
    const char* what;
    std::string document;
    bool expired;
  } cases[] = {
      {"expired, any root", info("anything", "true"), true},
      {"only exactly \"true\"", info("project", "True"), false},
      {"not expired", info("project", "false"), false},
      {"no expire-info", Project("on", ""), false},
      {"not XML", "<<<", false},
  };
  for (const auto& c : cases) {
    const ResourceListExpiry expiry = ReadResourceListExpiry(c.document);
    EXPECT_EQ(expiry.expired, c.expired) << c.what;
  }
  const ResourceListExpiry expired = ReadResourceListExpiry(info("project", "true"));
  EXPECT_EQ(expired.message, "请下载新版本");
  EXPECT_EQ(expired.url, "http://127.0.0.1:1/new");
}

}  // namespace
}  // namespace pf
