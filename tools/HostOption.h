// The form the --host options take: a Host header's value, as a browser
// sends it ("www.example.com", "www.example.com:8080"), not a URL. Given a
// URL, the filter would build the pattern "*/https://www.example.com//*",
// which no referer matches, and rewrite every image request.
#pragma once

#include <string>

namespace refwarden {

// Returns "" when `value` has the form of a Host header, else the message to
// print: a value with a scheme or a slash is refused, showing the form wanted.
inline std::string CheckHostOption(const std::string& value) {
  if (value.find('/') == std::string::npos) return "";
  std::string host = value;
  const std::size_t scheme = host.find("://");
  if (scheme != std::string::npos) host.erase(0, scheme + 3);
  host.erase(std::min(host.find('/'), host.size()));
  std::string message = "'" + value + "' is not a host: --host takes the Host header's value, " +
                        "such as www.example.com or www.example.com:8080";
  if (!host.empty()) message += " (here: --host " + host + ")";
  return message;
}

}  // namespace refwarden
