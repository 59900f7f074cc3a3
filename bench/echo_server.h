// A bare WebSocket echo server for the daemon benchmark: the daemon's server
// (QelDaemon/ws_server) with everything but the transport taken out. Same
// io model: one io_context run by one thread per core (at least two), the
// acceptor on its own strand, every connection on its own strand, TCP_NODELAY,
// an HTTP read that turns into a WebSocket upgrade, the same stream options
// (timeouts, keep-alive pings, message bound), and a write queue with one
// write in flight. Each text message is sent back as it came.
//
// Thread safety: start/stop/port from the owning thread.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace qel::bench {

class EchoServer {
 public:
  EchoServer();
  ~EchoServer();
  EchoServer(const EchoServer&) = delete;
  EchoServer& operator=(const EchoServer&) = delete;

  // Listens on 127.0.0.1 (a free port) with `threads` server threads (0: one
  // per core, at least two). False with the reason in `error`.
  bool start(unsigned threads, std::string& error);
  uint16_t port() const;
  // Stops the io_context and joins its threads (clients should be gone).
  void stop();

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace qel::bench
