#include "telemetry/TransferEventBody.h"

namespace pf {
namespace {

void Member(std::string* out, const char* name, const std::string& value) {
  *out += ",\"";
  *out += name;
  *out += "\":\"";
  *out += value;
  *out += '"';
}

}  // namespace

std::string FormatTransferBody(const ReporterIdentity& who, const TransferEvent& e) {
  std::string out;
  out.reserve(512 + e.serverIp.size() + e.fileName.size() + e.url.size() + e.errorMsg.size());
  Member(&out, "DVersion", "1.8");
  Member(&out, "GameID", who.gameId);
  Member(&out, "AppVersion", who.appVersion);
  Member(&out, "GVersion", who.gVersion);
  Member(&out, "Dchannel", who.dChannel);
  Member(&out, "Serverip", e.serverIp);
  Member(&out, "Httpresult", e.httpResult);
  Member(&out, "Totaltime", std::to_string(e.totalTime));
  Member(&out, "Intime", std::to_string(e.inTime));
  Member(&out, "Totalbytes", std::to_string(e.totalBytes));
  Member(&out, "Intotalbytes", std::to_string(e.inTotalBytes));
  Member(&out, "Averagespeed", std::to_string(e.averageSpeed));
  Member(&out, "Progress", e.progress);
  Member(&out, "Httptotalbytes", std::to_string(e.httpTotalBytes));
  Member(&out, "Inhttptotalbytes", std::to_string(e.inHttpTotalBytes));
  Member(&out, "Httpaveragespeed", std::to_string(e.httpAverageSpeed));
  Member(&out, "P2ptotalbytes", std::to_string(e.p2pTotalBytes));
  Member(&out, "Inp2ptotalbytes", std::to_string(e.inP2pTotalBytes));
  Member(&out, "P2paveragespeed", std::to_string(e.p2pAverageSpeed));
  Member(&out, "Corruptpakid", std::to_string(e.corruptPakId));
  Member(&out, "Filename", e.fileName);
  Member(&out, "Url", e.url);
  Member(&out, "Errormsg", e.errorMsg);
  return out;
}

uint64_t DeltaSinceLast(uint64_t value, uint64_t* remembered) {
  if (value == 0) return 0;
  const uint64_t delta = value > *remembered ? value - *remembered : 0;
  *remembered = value;
  return delta;
}

}  // namespace pf
