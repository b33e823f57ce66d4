#pragma once
// A small FTP server on loopback for tests of what real servers do not do:
// it serves one file from memory in passive mode (USER, PASS, CWD, TYPE,
// SIZE, PASV, REST, RETR, QUIT) and can be told to refuse the login, to
// give a false size or to end every data connection early. It records the
// commands it was sent. Each control connection runs on its own thread
// until the server is destroyed.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <list>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace pf::testing {

class ScriptedFtpServer {
 public:
  struct Script {
    std::string content;                  // the file, at any path
    std::string loginReply = "230 In";    // the answer to PASS
    std::optional<std::string> size;      // the text after "213 "; the true size when not set
    size_t dataLimit = SIZE_MAX;          // bytes a data connection carries before it ends
    // Greeting and answers come in pieces of this many bytes, each its own send.
    size_t replyPiece = SIZE_MAX;
  };

  ScriptedFtpServer(const std::string& address, Script script) : address_(address), script_(std::move(script)) {
    listener_ = Listen(&port_);
    if (listener_ >= 0) acceptor_ = std::thread([this] { AcceptLoop(); });
  }
  ~ScriptedFtpServer() {
    stop_ = true;
    if (acceptor_.joinable()) acceptor_.join();
    for (auto& session : sessions_) session.join();
    if (listener_ >= 0) ::close(listener_);
  }
  ScriptedFtpServer(const ScriptedFtpServer&) = delete;
  ScriptedFtpServer& operator=(const ScriptedFtpServer&) = delete;

  std::string Url(const std::string& path, const std::string& login = "") const {
    return "ftp://" + login + (login.empty() ? "" : "@") + address_ + ":" + std::to_string(port_) + path;
  }
  bool Listening() const { return listener_ >= 0; }
  // Every command received, in order, without its line end.
  std::vector<std::string> Commands() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return commands_;
  }
  int Count(const std::string& verb) const {
    const auto all = Commands();
    return static_cast<int>(std::count_if(all.begin(), all.end(), [&](const std::string& c) {
      return c.compare(0, verb.size(), verb) == 0 && (c.size() == verb.size() || c[verb.size()] == ' ');
    }));
  }
  int64_t DataBytesSent() const { return dataBytes_; }

 private:
  int Listen(int* port) const {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    ::inet_pton(AF_INET, address_.c_str(), &a.sin_addr);
    socklen_t length = sizeof a;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd, 16) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &length) != 0) {
      ::close(fd);
      return -1;
    }
    *port = ntohs(a.sin_port);
    return fd;
  }

  bool Readable(int fd, int milliseconds) const {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, milliseconds) == 1;
  }

  void AcceptLoop() {
    while (!stop_) {
      if (!Readable(listener_, 50)) continue;
      const int client = ::accept(listener_, nullptr, nullptr);
      if (client >= 0) sessions_.emplace_back([this, client] { Session(client); });
    }
  }

  bool SendAll(int fd, const std::string& bytes, size_t piece) const {
    for (size_t sent = 0; sent < bytes.size() && !stop_;) {
      const ssize_t n = ::send(fd, bytes.data() + sent, std::min(piece, bytes.size() - sent), MSG_NOSIGNAL);
      if (n <= 0) return false;
      sent += static_cast<size_t>(n);
      if (piece != SIZE_MAX) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
  }

  void Session(int control) {
    const size_t piece = script_.replyPiece;
    auto reply = [&](const std::string& text) { return SendAll(control, text + "\r\n", piece); };
    int passive = -1;
    int64_t restart = 0;
    std::string pending;
    reply("220-Scripted server\r\n220 Ready");
    while (!stop_) {
      const size_t end = pending.find("\r\n");
      if (end == std::string::npos) {
        if (!Readable(control, 50)) continue;
        char buffer[1024];
        const ssize_t n = ::recv(control, buffer, sizeof buffer, 0);
        if (n <= 0) break;
        pending.append(buffer, static_cast<size_t>(n));
        continue;
      }
      const std::string command = pending.substr(0, end);
      pending.erase(0, end + 2);
      {
        std::lock_guard<std::mutex> lock(mutex_);
        commands_.push_back(command);
      }
      const std::string verb = command.substr(0, command.find(' '));
      const std::string argument = command.size() > verb.size() ? command.substr(verb.size() + 1) : "";
      bool ok = true;
      if (verb == "USER") {
        ok = reply("331 Password please");
      } else if (verb == "PASS") {
        ok = reply(script_.loginReply);
      } else if (verb == "CWD") {
        ok = reply("250 Directory changed");
      } else if (verb == "TYPE") {
        ok = reply("200 Type set");
      } else if (verb == "SIZE") {
        ok = reply("213 " + script_.size.value_or(std::to_string(script_.content.size())));
      } else if (verb == "PASV") {
        if (passive >= 0) ::close(passive);
        int port = 0;
        passive = Listen(&port);
        uint8_t ip[4];
        ::inet_pton(AF_INET, address_.c_str(), ip);
        ok = reply("227 Entering Passive Mode (" + std::to_string(ip[0]) + "," + std::to_string(ip[1]) + "," +
                   std::to_string(ip[2]) + "," + std::to_string(ip[3]) + "," + std::to_string(port / 256) + "," +
                   std::to_string(port % 256) + ")");
      } else if (verb == "REST") {
        // Any offset is taken, as vsftpd does; one past the end gives no data.
        restart = std::max<int64_t>(std::strtoll(argument.c_str(), nullptr, 10), 0);
        ok = reply("350 Restart ok");
      } else if (verb == "RETR") {
        ok = Retrieve(passive, restart, reply);
        passive = -1;
        restart = 0;
      } else if (verb == "QUIT") {
        reply("221 Bye");
        break;
      } else {
        ok = reply("502 Not implemented");
      }
      if (!ok) break;
    }
    if (passive >= 0) ::close(passive);
    ::close(control);
  }

  template <typename Reply>
  bool Retrieve(int passive, int64_t from, Reply& reply) {
    if (passive < 0) return reply("425 Use PASV first");
    const int data = Readable(passive, 5000) ? ::accept(passive, nullptr, nullptr) : -1;
    ::close(passive);
    if (data < 0) return reply("425 No data connection");
    if (!reply("150 Opening data connection")) {
      ::close(data);
      return false;
    }
    const size_t start = std::min(static_cast<size_t>(from), script_.content.size());
    const size_t length = std::min(script_.content.size() - start, script_.dataLimit);
    bool complete = true;
    for (size_t sent = 0; sent < length && !stop_;) {
      const ssize_t n = ::send(data, script_.content.data() + start + sent, std::min<size_t>(65536, length - sent),
                               MSG_NOSIGNAL);
      if (n <= 0) {
        complete = false;
        break;
      }
      sent += static_cast<size_t>(n);
      dataBytes_ += n;
    }
    ::close(data);
    return reply(complete ? "226 Transfer complete" : "426 Connection closed; transfer aborted");
  }

  std::string address_;
  Script script_;
  int listener_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<int64_t> dataBytes_{0};
  mutable std::mutex mutex_;
  std::vector<std::string> commands_;  // guarded by mutex_
  std::thread acceptor_;
  std::list<std::thread> sessions_;  // the acceptor thread alone adds; joined after it ends
};

}  // namespace pf::testing
