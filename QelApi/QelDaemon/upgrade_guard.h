// Who may open a WebSocket connection to the daemon. The server listens on
// loopback only, but a web page in the user's browser can still reach loopback:
// directly (its script opens ws://127.0.0.1:port) or through DNS rebinding (its
// own host name suddenly resolves to 127.0.0.1). Both are refused here, so
// that only programs on this machine drive the daemon:
//
// - the Host header must name this machine: "localhost", an IPv4 address in
//   127.0.0.0/8 or "[::1]", each with an optional ":port". A rebound name such
//   as "evil.example:8800" fails; so does a request without Host.
// - an Origin header, when present, must not be a web page of another host:
//   an http(s) origin is accepted only when its host is one of the loopback
//   names above, and the opaque origin "null" (sandboxed frames, data: pages)
//   is refused. Other schemes (file://, app-specific ones) are installed
//   software, not a visited page, and pass. Native clients send no Origin and
//   are always served.
//
// Thread safety: pure functions, reentrant.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace qel {

// True for "localhost", 127.x.x.x and "[::1]" (IPv4-mapped 127.x.x.x too),
// with an optional ":port" of 1 to 5 digits up to 65535. ASCII case is ignored.
bool IsLoopbackHost(std::string_view hostAndPort);

// True when an upgrade carrying this Origin header may be served (see above).
bool IsAcceptableOrigin(std::string_view origin);

// The reason to refuse an upgrade with these headers, or nullopt to accept it.
// `host` / `origin` are null when the header is absent.
std::optional<std::string> UpgradeRefusal(const std::string_view* host, const std::string_view* origin);

}  // namespace qel
