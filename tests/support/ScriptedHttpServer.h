#pragma once
// A misbehaving HTTP server on loopback for tests of what real servers do
// not do: each connection's request is read up to its blank line and the
// answer comes from a function of the request text. Runs on its own thread
// until destroyed.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <string>
#include <thread>

namespace pf::testing {

class ScriptedHttpServer {
 public:
  using Script = std::function<std::string(const std::string& request)>;

  // Listens on `address` (127.0.0.0/8) and a port the kernel picks.
  ScriptedHttpServer(const std::string& address, Script script) : address_(address), script_(std::move(script)) {
    listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    ::inet_pton(AF_INET, address.c_str(), &a.sin_addr);
    socklen_t length = sizeof a;
    if (::bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(listener_, 16) != 0 ||
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &length) != 0)
      return;
    port_ = ntohs(a.sin_port);
    thread_ = std::thread([this] { Serve(); });
  }
  ~ScriptedHttpServer() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    ::close(listener_);
  }
  ScriptedHttpServer(const ScriptedHttpServer&) = delete;
  ScriptedHttpServer& operator=(const ScriptedHttpServer&) = delete;

  std::string Url(const std::string& path) const {
    return "http://" + address_ + ":" + std::to_string(port_) + path;
  }
  int Requests() const { return requests_; }

 private:
  void Serve() {
    while (!stop_) {
      pollfd p{listener_, POLLIN, 0};
      if (::poll(&p, 1, 50) != 1) continue;
      const int client = ::accept(listener_, nullptr, nullptr);
      if (client < 0) continue;
      std::string request;
      char buffer[4096];
      while (request.find("\r\n\r\n") == std::string::npos && request.size() < 65536) {
        pollfd c{client, POLLIN, 0};
        if (::poll(&c, 1, 2000) != 1) break;
        const ssize_t n = ::recv(client, buffer, sizeof buffer, 0);
        if (n <= 0) break;
        request.append(buffer, static_cast<size_t>(n));
      }
      ++requests_;
      const std::string answer = script_(request);
      for (size_t sent = 0; sent < answer.size() && !stop_;) {
        const ssize_t n = ::send(client, answer.data() + sent, answer.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) break;
        sent += static_cast<size_t>(n);
      }
      ::close(client);
    }
  }

  std::string address_;
  Script script_;
  int listener_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<int> requests_{0};
  std::thread thread_;
};

}  // namespace pf::testing
