#pragma once
// Drives a download controller as the window's timers do (the state
// evaluation every 100 ms, the speed measurement and the one-second tick),
// and reads the events a statistics collector wrote.
#include <json/json.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "app/DownloadController.h"

namespace pf::testing {

// Runs the timers until `done()` holds after an evaluation, or the time is up.
template <typename Done>
bool RunControllerUntil(DownloadController& c, int seconds, Done done) {
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::seconds(seconds);
  auto nextSecond = Clock::now();
  while (Clock::now() < deadline) {
    c.EvaluateState();
    if (done()) return true;
    c.MeasureSpeed();
    if (Clock::now() >= nextSecond) {
      c.OneSecondTick();
      nextSecond += std::chrono::seconds(1);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return false;
}

// A state counts as reached once the evaluation has seen it (and acted on it).
inline bool RunControllerUntilState(DownloadController& c, DownloadState wanted, int seconds) {
  return RunControllerUntil(c, seconds, [&] { return c.State() == wanted; });
}

// The event codes in a collector's JSON-lines file, in the order received.
inline std::vector<std::string> CollectorEventCodes(const std::filesystem::path& file) {
  std::vector<std::string> codes;
  std::ifstream in(file);
  Json::CharReaderBuilder builder;
  for (std::string line; std::getline(in, line);) {
    Json::Value value;
    std::string errors;
    std::istringstream stream(line);
    if (Json::parseFromStream(builder, stream, &value, &errors)) codes.push_back(value["code"].asString());
  }
  return codes;
}

}  // namespace pf::testing
