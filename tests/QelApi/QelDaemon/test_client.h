// A small WebSocket and HTTP client for the daemon tests (Boost.Beast over
// loopback). Its Beast code lives in test_client.cpp only.
//
// Thread safety: one TestClient per thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace qel::test {

class TestClient {
 public:
  TestClient();
  ~TestClient();
  TestClient(const TestClient&) = delete;
  TestClient& operator=(const TestClient&) = delete;

  // Opens a WebSocket connection to 127.0.0.1:`port`; false with the reason.
  bool connect(uint16_t port, std::string& error);
  // The same with the Host header `host` (instead of 127.0.0.1:port) and, when
  // not empty, an Origin header.
  bool connect(uint16_t port, const std::string& host, const std::string& origin, std::string& error);
  // Makes the next connect use a kernel receive buffer of about `bytes`
  // (a client that reads slowly, or not at all, fills up sooner).
  void limitReceiveBuffer(int bytes);
  // Sends one text message; false when the connection is gone.
  bool send(const std::string& text);
  // The next message, or nullopt when none arrives within `timeout` or the
  // connection has closed (see closedByPeer).
  std::optional<std::string> receive(std::chrono::milliseconds timeout = std::chrono::seconds(60));
  // Sends `text` and returns the next message.
  std::optional<std::string> request(const std::string& text,
                                     std::chrono::milliseconds timeout = std::chrono::seconds(60));
  // Waits for the server to close the connection; false when it did not
  // within `timeout` (messages that arrive meanwhile are discarded).
  bool waitClosed(std::chrono::milliseconds timeout);
  bool closedByPeer() const;
  // Closes the connection with a close handshake.
  void close();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

struct HttpResult {
  bool ok = false;  // false: no answer (connection refused, ...)
  int status = 0;
  std::string body;
};
HttpResult httpGet(uint16_t port, const std::string& target);

// Sends a WebSocket upgrade request for "/" with exactly these headers (besides
// the upgrade's own: Connection, Upgrade, Sec-WebSocket-Key/Version) and returns
// the HTTP status of the answer (101 when the upgrade was accepted), or 0 when
// no answer came. The connection is closed afterwards.
int upgradeStatus(uint16_t port, const std::vector<std::pair<std::string, std::string>>& headers);

// True when something accepts connections on 127.0.0.1:`port`.
bool portInUse(uint16_t port);

}  // namespace qel::test
