#include "QelDaemon/upgrade_guard.h"

#include <arpa/inet.h>

#include <cstring>

#include "common/ascii_case.h"

namespace qel {
namespace {

// Longest host text worth looking at; anything longer is not a loopback name.
constexpr size_t kMaxHostText = 256;

bool IsPort(std::string_view digits) {
  if (digits.empty() || digits.size() > 5) return false;
  unsigned value = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<unsigned>(c - '0');
  }
  return value <= 65535;
}

bool IsLoopbackV4(const std::string& text) {
  in_addr address{};
  if (::inet_pton(AF_INET, text.c_str(), &address) != 1) return false;
  return (ntohl(address.s_addr) >> 24) == 127;
}

bool IsLoopbackV6(const std::string& text) {
  in6_addr address{};
  if (::inet_pton(AF_INET6, text.c_str(), &address) != 1) return false;
  if (IN6_IS_ADDR_LOOPBACK(&address)) return true;
  // ::ffff:127.x.x.x is the IPv4 loopback seen through an IPv6 socket.
  return IN6_IS_ADDR_V4MAPPED(&address) && address.s6_addr[12] == 127;
}

// The host name without its port, or nullopt when the port part is malformed.
// "[...]" keeps its brackets off: the IPv6 literal is returned bare and `bracketed`
// is set.
std::optional<std::string> SplitHost(std::string_view hostAndPort, bool& bracketed) {
  bracketed = false;
  if (!hostAndPort.empty() && hostAndPort.front() == '[') {
    size_t close = hostAndPort.find(']');
    if (close == std::string_view::npos) return std::nullopt;
    std::string_view rest = hostAndPort.substr(close + 1);
    if (!rest.empty() && (rest.front() != ':' || !IsPort(rest.substr(1)))) return std::nullopt;
    bracketed = true;
    return std::string(hostAndPort.substr(1, close - 1));
  }
  size_t colon = hostAndPort.find(':');
  if (colon != std::string_view::npos) {
    if (!IsPort(hostAndPort.substr(colon + 1))) return std::nullopt;
    hostAndPort = hostAndPort.substr(0, colon);
  }
  return std::string(hostAndPort);
}

}  // namespace

bool IsLoopbackHost(std::string_view hostAndPort) {
  if (hostAndPort.empty() || hostAndPort.size() > kMaxHostText) return false;
  bool bracketed = false;
  std::optional<std::string> host = SplitHost(hostAndPort, bracketed);
  if (!host || host->empty()) return false;
  if (bracketed) return IsLoopbackV6(*host);
  if (asciiLowerCopy(*host) == "localhost") return true;
  return IsLoopbackV4(*host);
}

bool IsAcceptableOrigin(std::string_view origin) {
  // Opaque origins come from sandboxed frames and data: or file: pages a
  // browser opened; a web site can produce them at will.
  if (asciiLowerCopy(origin) == "null") return false;
  size_t colon = origin.find(':');
  if (colon == std::string_view::npos) return false;  // not an origin at all
  std::string scheme = asciiLowerCopy(origin.substr(0, colon));
  if (scheme != "http" && scheme != "https") return true;
  std::string_view rest = origin.substr(colon + 1);
  if (rest.substr(0, 2) != "//") return false;
  rest = rest.substr(2);
  // An origin is scheme://host[:port]; tolerate a trailing path, but user
  // information ("user@host") would let any host pose as loopback.
  size_t end = rest.find_first_of("/?#");
  if (end != std::string_view::npos) rest = rest.substr(0, end);
  if (rest.find('@') != std::string_view::npos) return false;
  return IsLoopbackHost(rest);
}

std::optional<std::string> UpgradeRefusal(const std::string_view* host, const std::string_view* origin) {
  if (host == nullptr) return std::string("no Host header");
  if (!IsLoopbackHost(*host)) return "Host is not a loopback name: " + std::string(host->substr(0, kMaxHostText));
  if (origin != nullptr && !IsAcceptableOrigin(*origin)) {
    return "Origin of a web page: " + std::string(origin->substr(0, kMaxHostText));
  }
  return std::nullopt;
}

}  // namespace qel
