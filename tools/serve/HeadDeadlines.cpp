#include "tools/serve/HeadDeadlines.h"

#include <sys/socket.h>

#include <algorithm>
#include <string_view>

namespace refwarden {

using Clock = std::chrono::steady_clock;

struct HeadDeadlines::Connection {
  int fd;
  Clock::time_point headSince;
  bool inHead = true;
  bool cut = false;
};

HeadDeadlines::HeadDeadlines(std::chrono::milliseconds limit, std::function<void()> onCut)
    : limit_(limit), onCut_(std::move(onCut)) {}

HeadDeadlines::~HeadDeadlines() {
  Stop();
  for (Connection* connection : open_) delete connection;
}

void HeadDeadlines::Start() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (watcher_.joinable()) return;
  stopping_ = false;
  watcher_ = std::thread(&HeadDeadlines::Watch, this);
}

void HeadDeadlines::Stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  if (watcher_.joinable()) watcher_.join();
}

HeadDeadlines::Connection* HeadDeadlines::Opened(int fd) {
  auto* connection = new Connection{fd, Clock::now()};
  std::lock_guard<std::mutex> lock(mutex_);
  open_.insert(connection);
  return connection;
}

void HeadDeadlines::HeadComplete(Connection* connection) {
  std::lock_guard<std::mutex> lock(mutex_);
  connection->inHead = false;
}

void HeadDeadlines::NextHead(Connection* connection) {
  std::lock_guard<std::mutex> lock(mutex_);
  connection->inHead = true;
  connection->headSince = Clock::now();
}

void HeadDeadlines::Closed(Connection* connection) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    open_.erase(connection);
  }
  delete connection;
}

void HeadDeadlines::Watch() {
  // A tenth of the limit, within [10 ms, 250 ms]: a head is cut at most that
  // late, and an idle server wakes four times a second.
  const auto tick = std::clamp(limit_ / 10, std::chrono::milliseconds(10),
                               std::chrono::milliseconds(250));
  constexpr std::string_view kTimeout =
      "HTTP/1.1 408 Request Timeout\r\nConnection: close\r\nContent-Length: 0\r\n\r\n";
  std::unique_lock<std::mutex> lock(mutex_);
  while (!wake_.wait_for(lock, tick, [this] { return stopping_; })) {
    const Clock::time_point now = Clock::now();
    int cut = 0;
    for (Connection* connection : open_) {
      if (!connection->inHead || connection->cut || now - connection->headSince < limit_) continue;
      // Nothing else writes to a connection whose head is still arriving.
      (void)send(connection->fd, kTimeout.data(), kTimeout.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
      shutdown(connection->fd, SHUT_RDWR);
      connection->cut = true;
      ++cut;
    }
    if (cut > 0 && onCut_) {
      lock.unlock();
      for (int i = 0; i < cut; ++i) onCut_();
      lock.lock();
    }
  }
}

}  // namespace refwarden
