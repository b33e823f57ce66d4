#pragma once
// Text forms of a telemetry post: the compact JSON writer, the percent
// encoding the statistics server decodes, and the info text of one event.
#include <json/value.h>

#include <string>
#include <string_view>

namespace pf {

// Members sorted by name, no blanks, non-ASCII bytes kept as they are, and a
// closing line feed, which the server expects inside the info texts.
std::string CompactJson(const Json::Value& value);

// Letters and digits stay, a space becomes "_", every other byte "%XX".
std::string PercentEncode(std::string_view utf8);

// "{" + the identity object's compact text (line feed included) + the
// event's member list (which starts with a comma) + "}". Not one JSON
// object: the server reads exactly this form, and event texts inside the
// member list are not escaped.
std::string EventInfoText(const Json::Value& identity, const std::string& body);

}  // namespace pf
