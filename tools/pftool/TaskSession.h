#pragma once
// What `pftool download` and `pftool seed` share: their options, and one
// engine with one task, started the way the application starts them and
// stopped (state saved) on every way out.
#include <string>
#include <vector>

#include "TargetLayout.h"
#include "engine/api/EngineApi.h"

namespace pftool {

struct TaskOptions {
  std::string torrent;
  std::string target;
  std::string sources;     // one address per line
  int limit = -1;          // download KB/s; -1 = the engine's default
  int uploadLimit = -1;    // upload KB/s; -1 = the engine's default
  std::string resume;
  std::string logBase;
  std::string telemetry;   // statistics INI: the engine's events are posted
  std::string caFile;      // PEM certificates trusted for https sources besides the system's
  std::string localAddress;
  int port = 0;            // listening port; 0 = the engine's default
  int peers = 50;          // BitTorrent connections at most
};

// Parses the arguments of `command`; false (with a message) on a usage error.
bool ParseTaskOptions(const char* command, const std::vector<std::string>& args, TaskOptions* options);

class TaskSession {
 public:
  explicit TaskSession(const char* command) : command_(command) {}
  ~TaskSession();
  TaskSession(const TaskSession&) = delete;
  TaskSession& operator=(const TaskSession&) = delete;

  // Starts the engine and creates (or, with a saved state, recovers) the
  // task. 0, or the exit code to end with (a message was printed).
  int Start(const TaskOptions& options, bool seeding);
  // Stops the task: its state is saved, a complete one finishes its file.
  void StopTask();

  pf::TaskHandle handle = 0;
  bool recovered = false;
  TargetLayout layout;
  std::string targetPath;  // the file, or the torrent's folder
  std::string statePath;

 private:
  const char* command_;
  bool engineStarted_ = false;
  bool telemetry_ = false;
  bool hasTask_ = false;
};

}  // namespace pftool
