#include "engine/net/HostResolver.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <system_error>
#include <thread>

#include "engine/base/CPelicanfetchLog.h"
#include "engine/base/EngineClock.h"
#include "engine/base/EngineLocks.h"
#include "engine/base/ScopedLock.h"
#include "platform/HostLookup.h"

namespace pf {
namespace {

constexpr int kLookupWaitMs = 3000;
constexpr size_t kMaxAddresses = 256;
constexpr int kLookupTimedOut = 10060;  // the error reported for a lookup that did not answer in time

bool Usable(uint32_t ip) { return ip != 0 && ip != kNoAddress; }

// Lookups in flight, by serial number. A lookup thread stores its answer
// only while its record is still here; the waiting side removes the record
// before returning, so a late answer has nowhere to go.
struct PendingLookups {
  std::mutex mutex;
  std::condition_variable answered;
  std::map<uint64_t, std::unique_ptr<platform::HostLookupResult>> records;  // null = no answer yet
  uint64_t nextSerial = 1;
};

PendingLookups& Pending() {
  // Never destroyed: a lookup thread may still finish after the end of main.
  static PendingLookups* const pending = std::make_unique<PendingLookups>().release();
  return *pending;
}

std::set<std::string>& NonexistentHosts() {
  static std::set<std::string>* const hosts = std::make_unique<std::set<std::string>>().release();
  return *hosts;
}

void AddNonexistentHost(const std::string& host) {
  ScopedLock lock(&HostListLock());
  NonexistentHosts().insert(host);
}

std::atomic<bool> diagnosticSent{false};

std::atomic<ResolverReportFunction> reportFunction{nullptr};

void LookupThread(uint64_t serial, std::string host) {
  auto result = std::make_unique<platform::HostLookupResult>(platform::LookupHostIpv4(host));
  PendingLookups& p = Pending();
  std::lock_guard<std::mutex> lock(p.mutex);
  auto found = p.records.find(serial);
  if (found == p.records.end()) return;  // the caller gave up waiting
  found->second = std::move(result);
  p.answered.notify_all();
}

// Registers a lookup and starts its thread; 0 when no thread could be made.
uint64_t StartLookup(const std::string& host) {
  PendingLookups& p = Pending();
  uint64_t serial;
  {
    std::lock_guard<std::mutex> lock(p.mutex);
    serial = p.nextSerial++;
    p.records.emplace(serial, nullptr);
  }
  try {
    // Left to finish on its own: it stores its answer only while the record
    // is still pending.
    std::thread(LookupThread, serial, host).detach();
  } catch (const std::system_error& error) {
    LogLine(kLogResolver, "no thread for the lookup of %.512s: %s", host.c_str(), error.what());
    std::lock_guard<std::mutex> lock(p.mutex);
    p.records.erase(serial);
    return 0;
  }
  return serial;
}

// The answer of a lookup, when there is one; the record is removed then,
// and also when `giveUp` is set.
std::unique_ptr<platform::HostLookupResult> TakeAnswer(uint64_t serial, bool giveUp) {
  PendingLookups& p = Pending();
  std::lock_guard<std::mutex> lock(p.mutex);
  auto found = p.records.find(serial);
  if (found == p.records.end()) return nullptr;
  std::unique_ptr<platform::HostLookupResult> answer = std::move(found->second);
  if (answer || giveUp) p.records.erase(found);
  return answer;
}

// Runs the lookup on its own thread; false with *error set on a time-out.
bool LookupWithTimeout(const std::string& host, platform::HostLookupResult* out) {
  const uint64_t serial = StartLookup(host);
  if (serial == 0) {
    out->error = platform::kHostNoRecovery;
    return false;
  }
  PendingLookups& p = Pending();
  {
    std::unique_lock<std::mutex> lock(p.mutex);
    p.answered.wait_for(lock, std::chrono::milliseconds(kLookupWaitMs), [&] {
      auto found = p.records.find(serial);
      return found != p.records.end() && found->second != nullptr;
    });
  }
  std::unique_ptr<platform::HostLookupResult> answer = TakeAnswer(serial, true);
  if (!answer) {
    out->error = kLookupTimedOut;
    return false;
  }
  *out = std::move(*answer);
  return true;
}

void ReportFailure(int error, const std::string& host) {
  if (diagnosticSent.exchange(true)) return;
  char head[640];
  std::snprintf(head, sizeof head, "ErrCode : (%lu) Host : (%.512s) ", static_cast<unsigned long>(error),
                host.c_str());
  std::string message = head;
  const std::vector<std::string> servers = platform::DnsServers();
  if (servers.empty() || servers.front().empty()) {
    message += ", no DNS";
  } else {
    message += ", DNS : (" + servers.front() + ")";
    for (size_t i = 1; i < servers.size(); ++i) message += ", 备用 DNS : (" + servers[i] + ")";
  }
  if (const ResolverReportFunction report = reportFunction.load(std::memory_order_acquire))
    report("11500106", message.c_str());
}

bool OnlyDigitsAndDots(const std::string& text) {
  return std::all_of(text.begin(), text.end(), [](char c) { return (c >= '0' && c <= '9') || c == '.'; });
}

}  // namespace

uint32_t ParseDottedAddress(std::string_view text) {
  uint8_t bytes[4] = {0, 0, 0, 0};
  size_t i = 0;
  for (int part = 0; part < 4 && i < text.size(); ++part) {
    uint32_t value = 0;
    if (text.size() - i >= 2 && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X')) {
      i += 2;
      for (; i < text.size() && std::isxdigit(static_cast<unsigned char>(text[i])); ++i) {
        const char c = text[i];
        value = value * 16 + static_cast<uint32_t>(c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10);
      }
    } else {
      for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i)
        value = value * 10 + static_cast<uint32_t>(text[i] - '0');
    }
    bytes[part] = static_cast<uint8_t>(value);
    if (i >= text.size() || text[i] != '.') break;
    ++i;
  }
  uint32_t ip;
  std::memcpy(&ip, bytes, 4);  // byte a first: network order in memory
  return ip;
}

uint32_t ParseInetAddress(std::string_view text) {
  uint32_t parts[4] = {0, 0, 0, 0};
  int count = 0;
  size_t i = 0;
  while (true) {
    if (i >= text.size() || !std::isdigit(static_cast<unsigned char>(text[i]))) return kNoAddress;
    uint64_t value = 0;
    int base = 10;
    if (text[i] == '0') {
      base = 8;
      ++i;
      if (i < text.size() && (text[i] == 'x' || text[i] == 'X')) {
        base = 16;
        ++i;
      }
    }
    int digits = 0;
    for (; i < text.size(); ++i, ++digits) {
      const auto c = static_cast<unsigned char>(text[i]);
      int d;
      if (c >= '0' && c <= '9') d = c - '0';
      else if (base == 16 && std::isxdigit(c)) d = (c | 0x20) - 'a' + 10;
      else break;
      if (d >= base) return kNoAddress;
      value = value * static_cast<uint64_t>(base) + static_cast<uint64_t>(d);
      if (value > 0xFFFFFFFFu) return kNoAddress;
    }
    if (base == 16 && digits == 0) return kNoAddress;
    parts[count++] = static_cast<uint32_t>(value);
    if (i == text.size()) break;
    if (text[i] != '.' || count == 4) return kNoAddress;
    ++i;
  }
  uint32_t host = 0;
  switch (count) {
    case 1: host = parts[0]; break;
    case 2:
      if (parts[0] > 255 || parts[1] > 0xFFFFFF) return kNoAddress;
      host = parts[0] << 24 | parts[1];
      break;
    case 3:
      if (parts[0] > 255 || parts[1] > 255 || parts[2] > 0xFFFF) return kNoAddress;
      host = parts[0] << 24 | parts[1] << 16 | parts[2];
      break;
    default:
      for (int k = 0; k < 4; ++k)
        if (parts[k] > 255) return kNoAddress;
      host = parts[0] << 24 | parts[1] << 16 | parts[2] << 8 | parts[3];
  }
  const uint8_t bytes[4] = {static_cast<uint8_t>(host >> 24), static_cast<uint8_t>(host >> 16),
                            static_cast<uint8_t>(host >> 8), static_cast<uint8_t>(host)};
  uint32_t ip;
  std::memcpy(&ip, bytes, 4);
  return ip;
}

namespace {

// An address given as digits and dots needs no lookup: its count (0 or 1),
// or -1 when the host is a name.
int DottedHost(const std::string& host, std::vector<uint32_t>* addresses) {
  if (host.empty()) return 0;
  if (!OnlyDigitsAndDots(host)) return -1;
  const uint32_t ip = ParseDottedAddress(host);
  if (!Usable(ip)) {
    LogLine(kLogResolver, "无效 IP: %.512s", host.c_str());
    return 0;
  }
  addresses->push_back(ip);
  return 1;
}

// What a finished lookup yields, with the bookkeeping of failures.
int TakeLookupResult(const std::string& host, bool answered, const platform::HostLookupResult& answer,
                     std::vector<uint32_t>* addresses) {
  if (answered && answer.error == 0) {
    diagnosticSent.store(false);
    int added = 0;
    for (uint32_t ip : answer.addresses) {
      if (static_cast<size_t>(added) >= kMaxAddresses) break;
      if (!Usable(ip)) continue;
      addresses->push_back(ip);
      ++added;
    }
    return added;
  }
  if (answer.error == platform::kHostNotFound || answer.error == platform::kHostNoData) AddNonexistentHost(host);
  ReportFailure(answer.error, host);
  LogLine(kLogResolver, "Invalid Host: %.512s", host.c_str());
  return -1;
}

}  // namespace

HostResolution::HostResolution(std::string host) : host_(std::move(host)) {
  const int dotted = DottedHost(host_, &addresses_);
  if (dotted >= 0) {
    state_ = State::kResolved;
    return;
  }
  startedMs_ = TickMs();
  serial_ = StartLookup(host_);
  if (serial_ == 0) {
    platform::HostLookupResult failed;
    failed.error = platform::kHostNoRecovery;
    TakeLookupResult(host_, false, failed, &addresses_);
    state_ = State::kFailed;
  }
}

HostResolution::~HostResolution() {
  if (state_ == State::kWaiting && serial_ != 0) TakeAnswer(serial_, true);
}

HostResolution::State HostResolution::Poll() {
  if (state_ != State::kWaiting) return state_;
  const bool late = TickMs() - startedMs_ >= static_cast<uint32_t>(kLookupWaitMs);
  std::unique_ptr<platform::HostLookupResult> answer = TakeAnswer(serial_, late);
  if (!answer && !late) return state_;
  platform::HostLookupResult timedOut;
  timedOut.error = kLookupTimedOut;
  const int found = TakeLookupResult(host_, answer != nullptr, answer ? *answer : timedOut, &addresses_);
  state_ = found < 0 ? State::kFailed : State::kResolved;
  return state_;
}

int ResolveHost(const std::string& host, std::vector<uint32_t>* addresses) {
  const int dotted = DottedHost(host, addresses);
  if (dotted >= 0) return dotted;
  platform::HostLookupResult answer;
  const bool answered = LookupWithTimeout(host, &answer);
  return TakeLookupResult(host, answered, answer, addresses);
}

uint32_t ResolveOne(const std::string& host) {
  if (host.empty()) return kNoAddress;
  if (host[0] >= '0' && host[0] <= '9') {
    const uint32_t ip = ParseInetAddress(host);
    if (Usable(ip)) return ip;
  }
  if (IsNonexistentHost(host)) return kNoAddress;
  const platform::HostLookupResult answer = platform::LookupHostIpv4(host);
  if (answer.error == 0 && !answer.addresses.empty()) return answer.addresses.front();
  if (answer.error == platform::kHostNotFound) AddNonexistentHost(host);
  return kNoAddress;
}

uint32_t ParseNodeAddress(std::string_view text, int* port) {
  constexpr std::string_view kPrefix = "node://";
  if (text.size() < kPrefix.size()) return 0;
  for (size_t i = 0; i < kPrefix.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(text[i])) != kPrefix[i]) return 0;
  std::string_view rest = text.substr(kPrefix.size());
  const size_t colon = rest.find(':');
  const std::string host(rest.substr(0, colon));
  if (host.empty()) return 0;
  int value = 80;
  if (colon != std::string_view::npos) {
    value = 0;
    for (size_t i = colon + 1; i < rest.size() && rest[i] >= '0' && rest[i] <= '9' && value < 100000000; ++i)
      value = value * 10 + (rest[i] - '0');
  }
  if (port) *port = value;
  return ResolveOne(host);
}

void ClearNonexistentHosts() {
  ScopedLock lock(&HostListLock());
  NonexistentHosts().clear();
}

bool IsNonexistentHost(const std::string& host) {
  ScopedLock lock(&HostListLock());
  return NonexistentHosts().count(host) != 0;
}

ResolverReportFunction SetResolverReport(ResolverReportFunction report) {
  return reportFunction.exchange(report, std::memory_order_acq_rel);
}

}  // namespace pf
