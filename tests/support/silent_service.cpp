#include "support/silent_service.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <future>

#include <gtest/gtest.h>

namespace testing_support {

namespace {

sockaddr_in Loopback(int port) {
  sockaddr_in addr;
  std::memset(&addr, 0, sizeof(addr));
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(static_cast<uint16_t>(port));
  return addr;
}

}  // namespace

SilentService::~SilentService() { Stop(); }

bool SilentService::StartSilent() {
  stalling_ = false;
  return Start();
}

bool SilentService::StartStalling(const std::string& body, size_t sent) {
  stalling_ = true;
  body_ = body;
  sent_ = sent < body.size() ? sent : body.size();
  return Start();
}

bool SilentService::StartUnreachable() {
  if (!Listen(0)) return false;
  // Connections of its own fill the backlog, until one no longer opens:
  // then the SYNs of any further connection are dropped.
  for (int i = 0; i < 64; ++i) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) break;
    fillers_.push_back(fd);
    sockaddr_in addr = Loopback(port_);
    connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
    pollfd opened = {fd, POLLOUT, 0};
    if (poll(&opened, 1, 300) == 0) return true;
  }
  Stop();
  return false;
}

bool SilentService::Listen(int backlog) {
  if (listenFd_ >= 0) return false;
  listenFd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listenFd_ < 0) return false;
  sockaddr_in addr = Loopback(0);
  socklen_t length = sizeof(addr);
  if (bind(listenFd_, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 || listen(listenFd_, backlog) != 0 ||
      getsockname(listenFd_, reinterpret_cast<sockaddr*>(&addr), &length) != 0) {
    close(listenFd_);
    listenFd_ = -1;
    return false;
  }
  port_ = ntohs(addr.sin_port);
  return true;
}

bool SilentService::Start() {
  if (!Listen(16)) return false;
  if (pipe2(wakeFds_, O_CLOEXEC) != 0) {
    Stop();
    return false;
  }
  thread_ = std::thread([this] { Run(); });
  return true;
}

void SilentService::Stop() {
  if (thread_.joinable()) {
    const char wake = 1;
    (void)!write(wakeFds_[1], &wake, 1);
    thread_.join();
  }
  for (Held& held : held_) close(held.fd);
  held_.clear();
  for (int fd : fillers_) close(fd);
  fillers_.clear();
  for (int* fd : {&listenFd_, &wakeFds_[0], &wakeFds_[1]}) {
    if (*fd >= 0) close(*fd);
    *fd = -1;
  }
}

std::string SilentService::BaseUrl() const { return "http://127.0.0.1:" + std::to_string(port_); }

std::vector<std::string> SilentService::RequestLines() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return requestLines_;
}

void SilentService::Run() {
  for (;;) {
    // The silent service never reads, so only unanswered requests of the
    // stalling one are watched besides the listening socket.
    std::vector<pollfd> fds = {{wakeFds_[0], POLLIN, 0}, {listenFd_, POLLIN, 0}};
    std::vector<size_t> watched;
    for (size_t i = 0; i < held_.size(); ++i) {
      if (stalling_ && !held_[i].answered) {
        fds.push_back({held_[i].fd, POLLIN, 0});
        watched.push_back(i);
      }
    }
    if (poll(fds.data(), fds.size(), -1) < 0) continue;
    if (fds[0].revents) return;
    for (size_t k = 0; k < watched.size(); ++k) {
      if (fds[k + 2].revents) Answer(&held_[watched[k]]);
    }
    if (fds[1].revents & POLLIN) {
      const int fd = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd >= 0) {
        Held held;
        held.fd = fd;
        held_.push_back(held);
        ++connections_;
      }
    }
  }
}

void SilentService::Answer(Held* held) {
  char buffer[4096];
  const ssize_t n = read(held->fd, buffer, sizeof(buffer));
  if (n <= 0) {
    held->answered = true;  // the client gave up: nothing more to watch
    return;
  }
  held->request.append(buffer, static_cast<size_t>(n));
  if (held->request.find("\r\n\r\n") == std::string::npos) return;
  held->answered = true;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    requestLines_.push_back(held->request.substr(0, held->request.find("\r\n")));
  }
  const std::string answer = "HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\nContent-Length: " +
                             std::to_string(body_.size()) + "\r\n\r\n" + body_.substr(0, sent_);
  size_t done = 0;
  while (done < answer.size()) {
    const ssize_t w = send(held->fd, answer.data() + done, answer.size() - done, MSG_NOSIGNAL);
    if (w <= 0) break;
    done += static_cast<size_t>(w);
  }
}

double SecondsTaken(SilentService& service, double limitSeconds, const std::function<void()>& call) {
  const auto start = std::chrono::steady_clock::now();
  std::promise<double> taken;
  std::future<double> result = taken.get_future();
  std::thread worker([&] {
    call();
    taken.set_value(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  });
  if (result.wait_for(std::chrono::duration<double>(limitSeconds)) != std::future_status::ready) {
    ADD_FAILURE() << "still waiting for the service after " << limitSeconds << " s";
    service.Stop();
  }
  worker.join();
  return result.get();
}

}  // namespace testing_support
