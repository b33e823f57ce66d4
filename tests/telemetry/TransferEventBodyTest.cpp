// The member list of a reported event and its delta fields.
#include <gtest/gtest.h>

#include "telemetry/TransferEventBody.h"

namespace pf {
namespace {

TEST(TransferEventBody, AllMembersInOrderWithTextsAsGiven) {
  TransferEvent e;
  e.serverIp = "127.0.0.1";
  e.httpResult = "206";
  e.totalTime = 4294967295u;
  e.inTime = 5;
  e.totalBytes = 18446744073709551615ull;
  e.inTotalBytes = 6;
  e.averageSpeed = 7;
  e.progress = "50.00%";
  e.httpTotalBytes = 8;
  e.inHttpTotalBytes = 9;
  e.httpAverageSpeed = 10;
  e.p2pTotalBytes = 11;
  e.inP2pTotalBytes = 12;
  e.p2pAverageSpeed = 13;
  e.corruptPakId = 14;
  e.fileName = "a \"b\"\\\xE4\xB8\xAD";
  e.url = "http://h/x y";
  e.errorMsg = "";
  EXPECT_EQ(FormatTransferBody({"5", "2.0.1", "v156", "1"}, e),
            ",\"DVersion\":\"1.8\",\"GameID\":\"5\",\"AppVersion\":\"2.0.1\",\"GVersion\":\"v156\","
            "\"Dchannel\":\"1\",\"Serverip\":\"127.0.0.1\",\"Httpresult\":\"206\",\"Totaltime\":\"4294967295\","
            "\"Intime\":\"5\",\"Totalbytes\":\"18446744073709551615\",\"Intotalbytes\":\"6\","
            "\"Averagespeed\":\"7\",\"Progress\":\"50.00%\",\"Httptotalbytes\":\"8\","
            "\"Inhttptotalbytes\":\"9\",\"Httpaveragespeed\":\"10\",\"P2ptotalbytes\":\"11\","
            "\"Inp2ptotalbytes\":\"12\",\"P2paveragespeed\":\"13\",\"Corruptpakid\":\"14\","
            "\"Filename\":\"a \"b\"\\\xE4\xB8\xAD\",\"Url\":\"http://h/x y\",\"Errormsg\":\"\"");
}

TEST(TransferEventBody, DeltaSinceLastReport) {
  struct Step {
    uint64_t value, delta, remembered;
  } steps[] = {
      {100, 100, 100},
      {250, 150, 250},
      {200, 0, 200},  // went back: nothing new, and the lower value is kept
      {0, 0, 200},    // no figure: memory untouched
      {260, 60, 260},
      {260, 0, 260},
  };
  uint64_t remembered = 0;
  for (const auto& s : steps) {
    EXPECT_EQ(DeltaSinceLast(s.value, &remembered), s.delta) << s.value;
    EXPECT_EQ(remembered, s.remembered) << s.value;
  }
}

}  // namespace
}  // namespace pf
