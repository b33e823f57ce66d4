#include "telemetry/EventBatch.h"

#include <json/writer.h>

#include <memory>
#include <sstream>

namespace pf {

std::string CompactJson(const Json::Value& value) {
  Json::StreamWriterBuilder builder;
  builder["indentation"] = "";
  builder["emitUTF8"] = true;
  std::ostringstream out;
  std::unique_ptr<Json::StreamWriter> writer(builder.newStreamWriter());
  writer->write(value, &out);
  out << '\n';
  return out.str();
}

std::string PercentEncode(std::string_view utf8) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(utf8.size() * 3);
  for (unsigned char c : utf8) {
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')) {
      out += static_cast<char>(c);
    } else if (c == ' ') {
      out += '_';
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

std::string EventInfoText(const Json::Value& identity, const std::string& body) {
  return "{" + CompactJson(identity) + body + "}";
}

}  // namespace pf
