// A deadline for each request head, however slowly it trickles in. The
// server's own timer closes a connection that goes quiet, but restarts on
// every byte; a client sending one byte every few seconds would hold its
// connection, and with enough of them every slot, for as long as it likes.
// A watcher thread answers a head not complete by its deadline with 408 and
// shuts the connection's socket down, which ends it in the server's own
// thread as any broken connection ends.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>
#include <unordered_set>

namespace refwarden {

class HeadDeadlines {
 public:
  // One connection as the watcher sees it; owned by HeadDeadlines between
  // Opened and Closed.
  struct Connection;

  // `limit`: the time a head may take from its first byte, or from the end
  // of the previous request on the same connection. `onCut` is called, from
  // the watcher thread, for each connection cut off.
  HeadDeadlines(std::chrono::milliseconds limit, std::function<void()> onCut);
  // Stops the watcher.
  ~HeadDeadlines();
  HeadDeadlines(const HeadDeadlines&) = delete;
  HeadDeadlines& operator=(const HeadDeadlines&) = delete;

  // Starts the watcher thread; harmless when started.
  void Start();
  // Stops and joins the watcher; harmless when stopped.
  void Stop();

  // A connection on socket `fd` is open and its first head starts now.
  // Returns its handle, which the caller passes to the calls below.
  Connection* Opened(int fd);
  // The connection's head is complete: its deadline no longer applies.
  void HeadComplete(Connection* connection);
  // A request on the connection has ended; the next head starts now.
  void NextHead(Connection* connection);
  // The connection is closing: it is forgotten. Requires that its socket is
  // still open, so that the watcher never touches a descriptor reused since.
  void Closed(Connection* connection);

 private:
  void Watch();

  const std::chrono::milliseconds limit_;
  const std::function<void()> onCut_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::unordered_set<Connection*> open_;
  bool stopping_ = false;
  std::thread watcher_;
};

}  // namespace refwarden
