#include "tools/serve/SiteServer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <microhttpd.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <optional>
#include <string_view>

#include "tools/serve/ByteRanges.h"
#include "tools/serve/StaticFiles.h"
#include "tools/serve/TextEscapes.h"

// The HTTP side is libmicrohttpd: unlike cpp-httplib 0.11 it hands over
// header values and the request target undecoded, answers pipelined requests,
// and bounds the request head.
namespace refwarden {

// One request on a connection, from its request line to its end.
struct SiteServer::Exchange {
  std::string target;   // the request target as received, query included
  bool seen = false;    // the request handler has been called once
  bool logged = false;  // Answer wrote its line
};

namespace {

constexpr std::string_view kOwnSiteMark = "@OWN_SITE@";

struct ResponseDeleter {
  void operator()(MHD_Response* response) const { MHD_destroy_response(response); }
};
using Response = std::unique_ptr<MHD_Response, ResponseDeleter>;

struct Reply {
  int status = 500;
  Response response;  // null when it could not be made
};

const char* StatusText(int status) {
  switch (status) {
    case 400:
      return "Bad Request";
    case 403:
      return "Forbidden";
    case 404:
      return "Not Found";
    case 405:
      return "Method Not Allowed";
    case 416:
      return "Range Not Satisfiable";
    default:
      return "Internal Server Error";
  }
}

Response BufferResponse(std::string_view bytes) {
  return Response(MHD_create_response_from_buffer(bytes.size(), const_cast<char*>(bytes.data()),
                                                  MHD_RESPMEM_MUST_COPY));
}

Reply TextReply(int status) {
  Reply reply{status, BufferResponse(std::to_string(status) + " " + StatusText(status) + "\n")};
  if (reply.response) {
    MHD_add_response_header(reply.response.get(), "Content-Type", "text/plain; charset=utf-8");
  }
  return reply;
}

// A header's value as received, less the trailing blanks HTTP does not count;
// nullopt when the request has no such header.
std::optional<std::string> HeaderValue(MHD_Connection* connection, const char* name) {
  const char* value = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, name);
  if (value == nullptr) return std::nullopt;
  std::string_view text = value;
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return std::string(text);
}

bool HasBody(MHD_Connection* connection) {
  const std::optional<std::string> length = HeaderValue(connection, "Content-Length");
  return HeaderValue(connection, "Transfer-Encoding") ||
         (length && length->find_first_not_of("0 \t") != std::string::npos);
}

// "127.0.0.1:8081" -> "127.0.0.1", "[::1]:8081" -> "[::1]"
std::string HostName(const std::string& host) {
  const std::size_t colon = host.rfind(':');
  if (colon == std::string::npos || host.find(']', colon) != std::string::npos) return host;
  return host.substr(0, colon);
}

// The address the client reached, for a request without a Host header.
std::string LocalAddress(MHD_Connection* connection) {
  const MHD_ConnectionInfo* info =
      MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
  sockaddr_storage address{};
  socklen_t size = sizeof address;
  char text[INET6_ADDRSTRLEN] = "";
  if (info == nullptr ||
      getsockname(info->connect_fd, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
    return "localhost";
  }
  if (address.ss_family == AF_INET6) {
    inet_ntop(AF_INET6, &reinterpret_cast<sockaddr_in6*>(&address)->sin6_addr, text, sizeof text);
    return "[" + std::string(text) + "]";
  }
  inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(&address)->sin_addr, text, sizeof text);
  return text;
}

bool ReadWhole(int fd, std::size_t size, std::string* content) {
  content->resize(size);
  for (std::size_t done = 0; done < size;) {
    const ssize_t n = pread(fd, content->data() + done, size - done, static_cast<off_t>(done));
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

// A file's bytes from `first` on, read as the client takes them. A read that
// comes back short (the file shrank while it was sent) or fails ends the
// response and closes the connection: the client sees fewer bytes than
// announced, and no thread waits for bytes that will never come.
struct FileBody {
  int fd;
  std::uint64_t first;

  static ssize_t Read(void* self, std::uint64_t at, char* buffer, std::size_t size) {
    const auto* body = static_cast<FileBody*>(self);
    ssize_t n;
    do {
      n = pread(body->fd, buffer, size, static_cast<off_t>(body->first + at));
    } while (n < 0 && errno == EINTR);
    return n > 0 ? n : MHD_CONTENT_READER_END_WITH_ERROR;
  }
  static void Free(void* self) {
    const auto* body = static_cast<FileBody*>(self);
    close(body->fd);
    delete body;
  }
};

// Bytes read from a file at a time for one response.
constexpr std::size_t kFileBlockBytes = 64 * 1024;

void ReplaceAll(std::string* text, std::string_view from, const std::string& to) {
  for (std::size_t at = text->find(from); at != std::string::npos;
       at = text->find(from, at + to.size())) {
    text->replace(at, from.size(), to);
  }
}

// The file, or the part of it that `range` asks for, streamed from disk. When
// `ownSite` is given, an HTML file has the mark replaced by it (HTML-escaped).
Reply FileReply(const std::filesystem::path& file, const std::optional<std::string>& range,
                const std::string& ownSite) {
  const int fd = open(file.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return TextReply(errno == ENOENT ? 404 : 403);
  struct stat status {};
  if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
    close(fd);
    return TextReply(404);
  }
  const std::string_view type = ContentTypeFor(file);
  auto length = static_cast<std::uint64_t>(status.st_size);
  std::optional<std::string> filled;
  if (!ownSite.empty() && type.substr(0, 9) == "text/html" &&
      length <= SiteLimits::kFilledHtmlBytes) {
    filled.emplace();
    const bool read = ReadWhole(fd, static_cast<std::size_t>(length), &*filled);
    close(fd);
    if (!read) return TextReply(403);
    ReplaceAll(&*filled, kOwnSiteMark, EscapeHtml(ownSite));
    length = filled->size();
  }

  const RangeAnswer answer = range ? AnswerRange(*range, length) : RangeAnswer{};
  if (answer.kind == RangeAnswer::kUnsatisfiable) {
    if (!filled) close(fd);
    Reply reply = TextReply(416);
    const std::string contentRange = "bytes */" + std::to_string(length);
    if (reply.response)
      MHD_add_response_header(reply.response.get(), "Content-Range", contentRange.c_str());
    return reply;
  }
  const bool partial = answer.kind == RangeAnswer::kPartial;
  const std::uint64_t first = partial ? answer.first : 0;
  const std::uint64_t count = partial ? answer.count : length;
  Reply reply{partial ? 206 : 200, {}};
  if (filled) {
    reply.response = BufferResponse(std::string_view(*filled).substr(first, count));
  } else {
    // The response owns the descriptor from here and closes it.
    auto* body = new FileBody{fd, first};
    reply.response = Response(MHD_create_response_from_callback(
        count, kFileBlockBytes, &FileBody::Read, body, &FileBody::Free));
    if (!reply.response) FileBody::Free(body);
  }
  if (!reply.response) return reply;
  MHD_add_response_header(reply.response.get(), "Content-Type", std::string(type).c_str());
  MHD_add_response_header(reply.response.get(), "Accept-Ranges", "bytes");
  if (partial) {
    const std::string contentRange = "bytes " + std::to_string(first) + "-" +
                                     std::to_string(first + count - 1) + "/" +
                                     std::to_string(length);
    MHD_add_response_header(reply.response.get(), "Content-Range", contentRange.c_str());
  }
  return reply;
}

}  // namespace

// libmicrohttpd's C callbacks; no exception leaves them.
struct SiteServer::Callbacks {
  static HeadDeadlines::Connection* Watched(MHD_Connection* connection) {
    const MHD_ConnectionInfo* info =
        MHD_get_connection_info(connection, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
    return info == nullptr ? nullptr : static_cast<HeadDeadlines::Connection*>(info->socket_context);
  }

  // Each connection is watched from its start to its close, which comes
  // before libmicrohttpd closes its socket.
  static void OnConnection(void* server, MHD_Connection* connection, void** socketContext,
                           MHD_ConnectionNotificationCode code) {
    HeadDeadlines& heads = static_cast<SiteServer*>(server)->heads_;
    try {
      if (code == MHD_CONNECTION_NOTIFY_STARTED) {
        const MHD_ConnectionInfo* info =
            MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
        *socketContext = info == nullptr ? nullptr : heads.Opened(info->connect_fd);
      } else if (*socketContext != nullptr) {
        heads.Closed(static_cast<HeadDeadlines::Connection*>(*socketContext));
        *socketContext = nullptr;
      }
    } catch (...) {
      *socketContext = nullptr;  // out of memory: that connection goes unwatched
    }
  }

  static void* OnRequestLine(void*, const char* target, MHD_Connection*) {
    try {
      return new Exchange{target};
    } catch (...) {
      return nullptr;
    }
  }

  static MHD_Result OnRequest(void* server, MHD_Connection* connection, const char*,
                              const char* method, const char* version, const char*, std::size_t*,
                              void** context) {
    auto* exchange = static_cast<Exchange*>(*context);
    if (exchange == nullptr) return MHD_NO;
    // A response queued at the first call, before the end of the request is
    // known, closes the connection; so wait for that end, unless a body is
    // announced: that is never read, and the connection closes after.
    if (!exchange->seen) {
      exchange->seen = true;
      if (HeadDeadlines::Connection* watched = Watched(connection))
        static_cast<SiteServer*>(server)->heads_.HeadComplete(watched);
      if (!HasBody(connection)) return MHD_YES;
    }
    try {
      static_cast<SiteServer*>(server)->Answer(connection, *exchange, method, version);
      return exchange->logged ? MHD_YES : MHD_NO;
    } catch (...) {
      return MHD_NO;
    }
  }

  // Logs the requests that libmicrohttpd refused itself (431, 414, 400).
  static void OnCompleted(void* server, MHD_Connection* connection, void** context,
                          MHD_RequestTerminationCode) {
    std::unique_ptr<Exchange> exchange(static_cast<Exchange*>(*context));
    *context = nullptr;
    if (HeadDeadlines::Connection* watched = Watched(connection))
      static_cast<SiteServer*>(server)->heads_.NextHead(watched);
    if (!exchange || exchange->logged) return;
    const MHD_ConnectionInfo* info =
        MHD_get_connection_info(connection, MHD_CONNECTION_INFO_HTTP_STATUS);
    if (info == nullptr || info->http_status == 0) return;
    try {
      static_cast<SiteServer*>(server)->Log("-", exchange->target, "", "-",
                                            static_cast<int>(info->http_status));
    } catch (...) {
    }
  }
};

SiteServer::SiteServer(SiteOptions options, std::ostream* log, std::mutex* logMutex)
    : options_(std::move(options)),
      log_(log),
      logMutex_(logMutex),
      heads_(options_.headLimit, [this] {
        try {
          Log("-", "-", "", "-", 408);
        } catch (...) {
        }
      }) {}

SiteServer::~SiteServer() { Stop(); }

int SiteServer::Bind(const std::string& host, int port) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
  addrinfo* found = nullptr;
  if (listenSocket_ >= 0 || daemon_ != nullptr ||
      getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found) != 0) {
    return -1;
  }
  for (const addrinfo* at = found; at != nullptr && listenSocket_ < 0; at = at->ai_next) {
    const int fd = socket(at->ai_family, at->ai_socktype | SOCK_CLOEXEC, at->ai_protocol);
    if (fd < 0) continue;
    const int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (bind(fd, at->ai_addr, at->ai_addrlen) == 0 && listen(fd, SOMAXCONN) == 0) {
      listenSocket_ = fd;
    } else {
      close(fd);
    }
  }
  freeaddrinfo(found);
  sockaddr_storage address{};
  socklen_t size = sizeof address;
  if (listenSocket_ < 0 ||
      getsockname(listenSocket_, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
    return -1;
  }
  return ntohs(address.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&address)->sin6_port
                                             : reinterpret_cast<sockaddr_in*>(&address)->sin_port);
}

bool SiteServer::Start() {
  if (listenSocket_ < 0 || daemon_ != nullptr) return false;
  // A thread per connection: a slow client holds only its own, and the
  // filter's store waits (up to its busy timeout) hold up no other request.
  daemon_ = MHD_start_daemon(
      MHD_USE_AUTO_INTERNAL_THREAD | MHD_USE_THREAD_PER_CONNECTION, 0, nullptr, nullptr,
      &Callbacks::OnRequest, this, MHD_OPTION_LISTEN_SOCKET, static_cast<MHD_socket>(listenSocket_),
      MHD_OPTION_URI_LOG_CALLBACK, &Callbacks::OnRequestLine, this, MHD_OPTION_NOTIFY_COMPLETED,
      &Callbacks::OnCompleted, this, MHD_OPTION_NOTIFY_CONNECTION, &Callbacks::OnConnection, this,
      MHD_OPTION_CONNECTION_LIMIT, static_cast<unsigned>(SiteLimits::kConnections),
      MHD_OPTION_PER_IP_CONNECTION_LIMIT, static_cast<unsigned>(SiteLimits::kConnectionsPerAddress),
      MHD_OPTION_CONNECTION_TIMEOUT,
      static_cast<unsigned>(SiteLimits::kIdleSeconds), MHD_OPTION_CONNECTION_MEMORY_LIMIT,
      static_cast<std::size_t>(SiteLimits::kRequestHeadBytes), MHD_OPTION_END);
  if (daemon_ == nullptr) return false;
  listenSocket_ = -1;  // the daemon closes it
  heads_.Start();
  return true;
}

void SiteServer::Stop() {
  // The watcher first: it must not shut a socket down while the daemon closes it.
  heads_.Stop();
  if (daemon_ != nullptr) MHD_stop_daemon(daemon_);
  daemon_ = nullptr;
  if (listenSocket_ >= 0) close(listenSocket_);
  listenSocket_ = -1;
}

void SiteServer::Answer(MHD_Connection* connection, Exchange& exchange, const std::string& method,
                        const std::string& version) {
  const std::optional<std::string> host = HeaderValue(connection, "Host");
  const std::optional<std::string> referer = HeaderValue(connection, "Referer");
  std::string decision = "-";
  Reply reply;
  if (!host && version == MHD_HTTP_VERSION_1_1) {
    reply = TextReply(400);  // HTTP/1.1 requires Host; the web server refuses before any filter
  } else {
    std::string url = exchange.target;
    if (options_.filter != nullptr) {
      FilterOutcome outcome = RunPreprocHeaders(
          *options_.filter, FilterRequest{host.value_or(""), referer.value_or(""), url});
      decision = outcome.rewritten ? "rewrite:" + outcome.url : "pass";
      url = std::move(outcome.url);
    } else {
      decision = "off";
    }
    const bool readOnly = method == MHD_HTTP_METHOD_GET || method == MHD_HTTP_METHOD_HEAD;
    const FileLookup lookup = readOnly ? LookUpFile(options_.root, url) : FileLookup{405, {}};
    if (lookup.status == 405) {
      reply = TextReply(405);
      if (reply.response) MHD_add_response_header(reply.response.get(), "Allow", "GET, HEAD");
    } else if (lookup.status != 200) {
      reply = TextReply(lookup.status);
    } else {
      std::string ownSite;
      if (options_.ownSitePort != 0) {
        ownSite = "http://" + HostName(host && !host->empty() ? *host : LocalAddress(connection)) +
                  ":" + std::to_string(options_.ownSitePort);
      }
      // No validator is sent, so a conditional range can never be honoured.
      const bool conditional = HeaderValue(connection, "If-Range").has_value();
      reply = FileReply(lookup.file, conditional ? std::nullopt : HeaderValue(connection, "Range"),
                        ownSite);
    }
  }
  if (!reply.response) return;  // out of memory or descriptors: the connection is dropped
  // The same URL gets different bytes depending on the referer: no caching.
  MHD_add_response_header(reply.response.get(), "Cache-Control", "no-store");
  if (MHD_queue_response(connection, static_cast<unsigned>(reply.status), reply.response.get()) !=
      MHD_YES) {
    return;
  }
  exchange.logged = true;
  Log(method, exchange.target, referer.value_or(""), decision, reply.status);
}

void SiteServer::Log(const std::string& method, const std::string& target,
                     const std::string& referer, const std::string& decision, int status) {
  std::lock_guard<std::mutex> lock(*logMutex_);
  *log_ << '[' << options_.name << "] " << EscapeForLog(method) << ' ' << EscapeForLog(target)
        << " referer=" << (referer.empty() ? "-" : EscapeForLog(referer))
        << " filter=" << EscapeForLog(decision) << " status=" << status << std::endl;
}

}  // namespace refwarden
