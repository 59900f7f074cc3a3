// The daemon's HTTP and WebSocket server on the loopback interface
// (Boost.Beast over Boost.Asio). One io_context run by one thread: every
// callback, request handler and timer runs there, one after another.
//
// - HTTP GET "/ping" answers {"pong":1}; any other plain HTTP request gets 404.
// - A WebSocket upgrade is refused (403) unless its Host names this machine and
//   any Origin it carries is not another host's web page (upgrade_guard.h);
//   every accepted upgrade becomes a connection: `onOpen`, then `onMessage`
//   for each message, then `onClose` exactly once.
// - A message longer than kMaxMessageBytes closes that one connection with the
//   WebSocket close code 1009 ("message too big"); nothing of it is buffered
//   beyond the bound, and other connections go on.
// - Each connection has a repeating tick (1000 ms) that calls `onTick` while
//   the connection is open and ends with it.
// - Keep-alive pings: a connection idle for the ping interval (10000 ms) is
//   pinged; one that stays silent for twice that long is closed.
// - Each connection has a write queue with one write in flight. `send` on the
//   server thread queues at once; from any other thread it is posted to the
//   connection's executor. Either way messages keep their order, and a message
//   queued before stop() is requested is flushed before the connection closes.
//
// Thread safety: start/stop/port from the owning thread; the callbacks run on
// the server thread. Nothing it started outlives it: the destructor stops the
// server.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace qel {

class Channel;

// The longest request a client may send. The largest real requests (a task
// with many operations and their filter graphs) are tens of kilobytes; the
// bound keeps one client from making the daemon buffer and parse an
// arbitrarily large text.
inline constexpr size_t kMaxMessageBytes = 4 * 1024 * 1024;

class WsServer {
 public:
  struct Callbacks {
    std::function<void(const std::shared_ptr<Channel>&)> onOpen;
    std::function<void(const std::shared_ptr<Channel>&, const std::string&)> onMessage;
    std::function<void(const std::shared_ptr<Channel>&)> onClose;
    std::function<void(const std::shared_ptr<Channel>&)> onTick;
  };
  struct Options {
    std::chrono::milliseconds tickInterval{1000};
    std::chrono::milliseconds pingInterval{10000};
  };

  WsServer(Callbacks callbacks, Options options);
  ~WsServer();
  WsServer(const WsServer&) = delete;
  WsServer& operator=(const WsServer&) = delete;

  // Listens on 127.0.0.1:`port` (0 picks a free port) and starts the server
  // thread. False with the reason in `error` when it cannot listen.
  bool start(int port, std::string& error);

  // The port actually listened on (after a successful start).
  uint16_t port() const;

  // Stops listening, lets every connection send what is queued, closes it
  // (onClose runs for each) and joins the server thread; waits at most a few
  // seconds for slow peers. Idempotent.
  void stop();

  // Internal state, opaque outside ws_server.cpp (public so that the session
  // classes there can name it).
  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace qel
