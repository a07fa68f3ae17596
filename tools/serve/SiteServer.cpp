#include "tools/serve/SiteServer.h"

#include <httplib.h>

#include <chrono>
#include <fstream>
#include <sstream>

#include "tools/serve/StaticFiles.h"

namespace refwarden {

namespace {

constexpr std::string_view kOwnSiteMark = "@OWN_SITE@";

// "127.0.0.1:8081" -> "127.0.0.1", "[::1]:8081" -> "[::1]"
std::string HostName(const std::string& host) {
  const std::size_t colon = host.rfind(':');
  if (colon == std::string::npos || host.find(']', colon) != std::string::npos) return host;
  return host.substr(0, colon);
}

bool ReadFile(const std::filesystem::path& file, std::string* content) {
  std::ifstream in(file, std::ios::binary);
  if (!in) return false;
  std::ostringstream buffer;
  buffer << in.rdbuf();
  *content = buffer.str();
  return true;
}

void ReplaceAll(std::string* text, std::string_view from, const std::string& to) {
  for (std::size_t at = text->find(from); at != std::string::npos;
       at = text->find(from, at + to.size())) {
    text->replace(at, from.size(), to);
  }
}

const char* StatusText(int status) {
  switch (status) {
    case 400:
      return "Bad Request";
    case 403:
      return "Forbidden";
    case 404:
      return "Not Found";
    default:
      return "Internal Server Error";
  }
}

}  // namespace

SiteServer::SiteServer(SiteOptions options, std::ostream* log, std::mutex* logMutex)
    : options_(std::move(options)),
      log_(log),
      logMutex_(logMutex),
      server_(std::make_unique<httplib::Server>()) {
  // Every path, also those holding a decoded newline.
  server_->Get(R"([\s\S]*)", [this](const httplib::Request& request, httplib::Response& response) {
    Handle(request, response);
  });
}

SiteServer::~SiteServer() { Stop(); }

int SiteServer::Bind(const std::string& host, int port) {
  if (port == 0) return server_->bind_to_any_port(host);
  return server_->bind_to_port(host, port) ? port : -1;
}

void SiteServer::Start() {
  thread_ = std::thread([this] {
    server_->listen_after_bind();
    finished_ = true;
  });
}

void SiteServer::Stop() {
  if (!thread_.joinable()) return;
  // A stop that comes before the accept loop has started is lost; repeat it.
  while (!finished_) {
    server_->stop();
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  thread_.join();
}

void SiteServer::Handle(const httplib::Request& request, httplib::Response& response) {
  const std::string host = request.get_header_value("Host");
  const std::string referer = request.get_header_value("Referer");
  std::string url = request.target;
  std::string decision = "off";
  if (options_.filter != nullptr) {
    FilterOutcome outcome = RunPreprocHeaders(*options_.filter, FilterRequest{host, referer, url});
    decision = outcome.rewritten ? "rewrite:" + outcome.url : "pass";
    url = std::move(outcome.url);
  }

  const FileLookup lookup = LookUpFile(options_.root, url);
  int status = lookup.status;
  std::string body;
  if (status == 200 && !ReadFile(lookup.file, &body)) status = 403;
  if (status == 200) {
    const std::string_view type = ContentTypeFor(lookup.file);
    if (options_.ownSitePort != 0 && type.substr(0, 9) == "text/html") {
      const std::string hostName = HostName(host.empty() ? request.local_addr : host);
      ReplaceAll(&body, kOwnSiteMark,
                 "http://" + hostName + ":" + std::to_string(options_.ownSitePort));
    }
    response.set_content(body, std::string(type).c_str());
  } else {
    response.set_content(std::to_string(status) + " " + StatusText(status) + "\n",
                         "text/plain; charset=utf-8");
  }
  response.status = status;
  // The same URL gets different bytes depending on the referer: no caching.
  response.set_header("Cache-Control", "no-store");

  std::lock_guard<std::mutex> lock(*logMutex_);
  *log_ << '[' << options_.name << "] " << request.method << ' ' << request.target
        << " referer=" << (referer.empty() ? "-" : referer) << " filter=" << decision
        << " status=" << status << std::endl;
}

}  // namespace refwarden
