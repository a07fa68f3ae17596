// One static web site whose every request first goes through the filter
// library, as it would in the web server the filter is made for.
#pragma once

#include <atomic>
#include <filesystem>
#include <memory>
#include <mutex>
#include <ostream>
#include <string>
#include <thread>

#include "tools/FilterHost.h"

namespace httplib {
class Server;
struct Request;
struct Response;
}  // namespace httplib

namespace refwarden {

struct SiteOptions {
  std::string name;                       // names the site in the request log
  std::filesystem::path root;             // an existing directory
  const FilterLibrary* filter = nullptr;  // null: requests are served unfiltered
  // Non-zero: "@OWN_SITE@" in HTML files becomes the address of the site on
  // this port, at the host name the browser used for this one.
  int ownSitePort = 0;
};

class SiteServer {
 public:
  // `log` receives one line per request; `logMutex` guards it across sites.
  SiteServer(SiteOptions options, std::ostream* log, std::mutex* logMutex);
  // Stops serving and waits for the server's thread.
  ~SiteServer();
  SiteServer(const SiteServer&) = delete;
  SiteServer& operator=(const SiteServer&) = delete;

  // Listens on host:port, port 0 meaning any free one. Returns the port, or
  // -1 when the address cannot be had.
  int Bind(const std::string& host, int port);
  // Serves, on a thread of its own, until Stop. Requires a successful Bind.
  void Start();
  // Stops serving and waits for the thread; harmless when not started.
  void Stop();

 private:
  void Handle(const httplib::Request& request, httplib::Response& response);

  SiteOptions options_;
  std::ostream* log_;
  std::mutex* logMutex_;
  std::unique_ptr<httplib::Server> server_;
  std::thread thread_;
  std::atomic<bool> finished_{false};
};

}  // namespace refwarden
