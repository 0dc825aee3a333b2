// Services on 127.0.0.1 that stop answering, for the transfer time limits.
// A silent one accepts every connection and holds it open without reading a
// byte; a stalling one reads each request, sends the headers of a 200 answer
// for a body and the first part of that body, and then goes silent; an
// unreachable one never lets a connection open (its backlog is kept full).
// Held connections stay open until Stop.
#pragma once
#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace testing_support {

class SilentService {
 public:
  SilentService() = default;
  ~SilentService();
  SilentService(const SilentService&) = delete;
  SilentService& operator=(const SilentService&) = delete;

  bool StartSilent();
  // Announces body.size() bytes and sends body.substr(0, sent).
  bool StartStalling(const std::string& body, size_t sent);
  bool StartUnreachable();
  void Stop();

  int port() const { return port_; }
  std::string BaseUrl() const;  // http://127.0.0.1:<port>
  // Connections accepted so far.
  int connections() const { return connections_; }
  // Request lines ("GET /x HTTP/1.1") of the stalling service, in order.
  std::vector<std::string> RequestLines() const;

 private:
  struct Held {
    int fd = -1;
    std::string request;  // what was read until the end of the headers
    bool answered = false;
  };

  bool Listen(int backlog);
  bool Start();
  void Run();
  void Answer(Held* held);

  bool stalling_ = false;
  std::string body_;
  size_t sent_ = 0;
  int listenFd_ = -1;
  int wakeFds_[2] = {-1, -1};
  int port_ = 0;
  std::atomic<int> connections_{0};
  std::thread thread_;
  std::vector<Held> held_;  // owned by the thread while it runs
  std::vector<int> fillers_;  // the unreachable one's own connections
  mutable std::mutex mutex_;
  std::vector<std::string> requestLines_;
};

// Runs `call` on a thread of its own and returns the seconds it took. A call
// still running after limitSeconds fails the test; the service then drops
// its connections, which ends the call.
double SecondsTaken(SilentService& service, double limitSeconds, const std::function<void()>& call);

}  // namespace testing_support
