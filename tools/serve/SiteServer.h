// One static web site whose every request first goes through the filter
// library, as it would in the web server the filter is made for: the filter
// sees the Host and Referer headers and the request target as they arrived.
#pragma once

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <mutex>
#include <ostream>
#include <string>

#include "tools/FilterHost.h"
#include "tools/serve/HeadDeadlines.h"

struct MHD_Daemon;
struct MHD_Connection;

namespace refwarden {

// What one site holds against its clients.
struct SiteLimits {
  // Connections served at once; more are closed on arrival. With the file a
  // download holds open, two sites stay within the usual 1024 descriptors.
  static constexpr unsigned kConnections = 200;
  // Connections from one address at once, so that one client cannot take
  // every slot; more from it are closed on arrival.
  static constexpr unsigned kConnectionsPerAddress = 32;
  // A connection on which nothing is read or written for this long is closed.
  static constexpr unsigned kIdleSeconds = 10;
  // A request head not complete this long after its first byte is answered
  // 408 and its connection closed, however the bytes trickle in.
  static constexpr unsigned kHeadSeconds = 10;
  // Request line and headers must fit here (414 for a longer line, 431 for
  // more headers); the response's headers use part of it.
  static constexpr std::size_t kRequestHeadBytes = 32 * 1024;
  // HTML files up to this size get "@OWN_SITE@" filled in; larger ones are sent as they are.
  static constexpr std::size_t kFilledHtmlBytes = 1 << 20;
};

struct SiteOptions {
  std::string name;                       // names the site in the request log
  std::filesystem::path root;             // an existing directory
  const FilterLibrary* filter = nullptr;  // null: requests are served unfiltered
  // Non-zero: "@OWN_SITE@" in HTML files becomes the address of the site on
  // this port, at the host name the browser used for this one.
  int ownSitePort = 0;
  // The time a request head may take, from its first byte (SiteLimits::kHeadSeconds).
  std::chrono::milliseconds headLimit = std::chrono::seconds(SiteLimits::kHeadSeconds);
};

class SiteServer {
 public:
  // `log` receives one line per request; `logMutex` guards it across sites.
  SiteServer(SiteOptions options, std::ostream* log, std::mutex* logMutex);
  // Stops serving.
  ~SiteServer();
  SiteServer(const SiteServer&) = delete;
  SiteServer& operator=(const SiteServer&) = delete;

  // Listens on host:port, port 0 meaning any free one. Returns the port, or
  // -1 when the address cannot be had.
  int Bind(const std::string& host, int port);
  // Serves, on threads of its own (one per connection), until Stop. Returns
  // false when the server cannot start. Requires a successful Bind.
  bool Start();
  // Closes every connection and waits for the server's threads; harmless
  // when not started.
  void Stop();

 private:
  struct Callbacks;
  struct Exchange;

  void Answer(MHD_Connection* connection, Exchange& exchange, const std::string& method,
              const std::string& version);
  void Log(const std::string& method, const std::string& target, const std::string& referer,
           const std::string& decision, int status);

  SiteOptions options_;
  std::ostream* log_;
  std::mutex* logMutex_;
  int listenSocket_ = -1;
  HeadDeadlines heads_;
  MHD_Daemon* daemon_ = nullptr;
};

}  // namespace refwarden
