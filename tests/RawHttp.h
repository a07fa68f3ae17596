// HTTP over a bare socket, so that no client library tidies the bytes sent
// or hides the bytes answered.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace refwarden::rawhttp {

// Returns a socket connected to 127.0.0.1:port whose reads and writes give up
// after `timeoutSeconds`, or -1. `source`, an address of the loopback range
// such as "127.0.0.2", is where the connection comes from: the server counts
// connections per address.
inline int Connect(int port, int timeoutSeconds = 10, const char* source = "127.0.0.1") {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  const timeval timeout{timeoutSeconds, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
  sockaddr_in from{};
  from.sin_family = AF_INET;
  if (inet_pton(AF_INET, source, &from.sin_addr) != 1 ||
      bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof from) != 0) {
    close(fd);
    return -1;
  }
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// Sends `request` as it stands and returns every byte answered until the
// server closes the connection (or stays silent for 10 s). A server that
// answers before reading everything may reset the connection: what arrived
// until then is returned.
inline std::string Exchange(int port, std::string_view request) {
  const int fd = Connect(port);
  if (fd < 0) return {};
  for (std::size_t sent = 0; sent < request.size();) {
    const ssize_t n = send(fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) break;
    sent += static_cast<std::size_t>(n);
  }
  shutdown(fd, SHUT_WR);
  std::string answer;
  char buffer[16384];
  for (ssize_t n; (n = recv(fd, buffer, sizeof buffer, 0)) > 0;) {
    answer.append(buffer, static_cast<std::size_t>(n));
  }
  close(fd);
  return answer;
}

struct Response {
  int status = 0;
  std::map<std::string, std::string> headers;  // names in lower case
  std::string body;

  std::string Header(const std::string& name) const {
    const auto found = headers.find(name);
    return found == headers.end() ? std::string() : found->second;
  }
};

// Splits `bytes` into the responses it holds, in order; head[i] says that the
// i-th answers a HEAD request and so has no body. Stops at the first
// incomplete response.
inline std::vector<Response> ParseResponses(std::string_view bytes,
                                            const std::vector<bool>& head = {}) {
  std::vector<Response> responses;
  while (!bytes.empty()) {
    const std::size_t end = bytes.find("\r\n\r\n");
    if (end == std::string_view::npos || bytes.substr(0, 5) != "HTTP/") break;
    Response response;
    const std::string_view headBlock = bytes.substr(0, end);
    // A head too short to hold a status reads as status 0, a failed check.
    if (headBlock.size() > 9)
      response.status = std::atoi(std::string(headBlock.substr(9, 3)).c_str());
    for (std::size_t line = headBlock.find("\r\n"); line != std::string_view::npos;) {
      const std::size_t next = headBlock.find("\r\n", line + 2);
      const std::string_view field = headBlock.substr(line + 2, next - line - 2);
      const std::size_t colon = field.find(':');
      if (colon != std::string_view::npos) {
        std::string name(field.substr(0, colon));
        std::transform(name.begin(), name.end(), name.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        std::string_view value = field.substr(colon + 1);
        while (!value.empty() && value.front() == ' ') value.remove_prefix(1);
        response.headers[name] = std::string(value);
      }
      line = next;
    }
    bytes.remove_prefix(end + 4);
    const bool noBody = responses.size() < head.size() && head[responses.size()];
    const auto length = response.headers.find("content-length");
    std::size_t size = bytes.size();
    if (noBody) {
      size = 0;
    } else if (length != response.headers.end()) {
      size = static_cast<std::size_t>(std::strtoull(length->second.c_str(), nullptr, 10));
      if (size > bytes.size()) break;
    }
    response.body = std::string(bytes.substr(0, size));
    bytes.remove_prefix(size);
    responses.push_back(std::move(response));
  }
  return responses;
}

}  // namespace refwarden::rawhttp
