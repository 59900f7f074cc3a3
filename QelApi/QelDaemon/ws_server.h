// The daemon's HTTP and WebSocket server on the loopback interface
// (Boost.Beast over Boost.Asio). One io_context run by one thread per core;
// every connection lives on its own strand, so its callbacks, request handlers
// and timer run one after another while other connections go on: a request
// that takes long (a probe of a slow file, a large "process") holds only its
// own connection.
//
// - HTTP GET "/ping" answers {"pong":1}; any other plain HTTP request gets 404.
// - A WebSocket upgrade is refused (403) unless its Host names this machine,
//   any Origin it carries is not another host's web page (upgrade_guard.h),
//   and the client's socket belongs to the served user (peer_owner.h): every
//   user of the machine can reach loopback, and each would act with the
//   daemon's rights. The owner is looked up once, when the upgrade request
//   has been read; a refused upgrade never becomes a connection and nothing
//   it sent after the request is read. Refusals are logged through a
//   RefusalLog (refusal_log.h), counted by the user who owns the client's
//   socket, so that nobody can flush the log with them. Every accepted
//   upgrade becomes a connection: `onOpen`, then `onMessage` for each
//   message, then `onClose` exactly once.
// - A message longer than kMaxMessageBytes closes that one connection with the
//   WebSocket close code 1009 ("message too big"); nothing of it is buffered
//   beyond the bound, and other connections go on.
// - Each connection has a repeating tick (1000 ms) that calls `onTick` while
//   the connection is open and ends with it.
// - Keep-alive pings: a connection idle for the ping interval (10000 ms) is
//   pinged; one that stays silent for twice that long is closed.
// - Each connection has a write queue with one write in flight. `send` on the
//   connection's own strand queues at once; from anywhere else it is posted to
//   that strand. Either way messages keep their order, and a message queued
//   before stop() is requested is flushed before the connection closes.
// - The write queue is bounded by bytes (maxQueuedBytes): a client that sends
//   requests but does not read the replies is disconnected at once (no close
//   handshake: it would not read that either) when its unsent replies pass
//   the bound, and their memory is released. A lone message is always let
//   through, whatever its size.
// - Closing (at stop) sends the close frame once the queue is flushed and waits
//   half a second for the peer's answer; a peer that does not answer is
//   dropped then.
//
// Thread safety: start/stop/port from the owning thread, queuedBytes from any; the
// callbacks of one connection run on its strand, those of different
// connections may run at the same time on different threads. Nothing it
// started outlives it: the destructor stops the server.
#pragma once

#include <sys/types.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "QelDaemon/user_namespace.h"

namespace qel {

class Channel;

// The longest request a client may send. The largest real requests (a task
// with many operations and their filter graphs) are tens of kilobytes; the
// bound keeps one client from making the daemon buffer and parse an
// arbitrarily large text.
inline constexpr size_t kMaxMessageBytes = 4 * 1024 * 1024;

// The most reply bytes one connection may have waiting to be sent. A client
// that reads its replies never comes near it (the kernel's socket buffers take
// megabytes before anything waits here); four of the largest requests' worth
// leaves room for a burst of large "process" replies.
inline constexpr size_t kMaxQueuedBytes = 4 * kMaxMessageBytes;

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
    // Threads that run the io_context; 0: one per core, and never fewer than
    // two, so that one slow request cannot hold every connection.
    unsigned threads = 0;
    size_t maxQueuedBytes = kMaxQueuedBytes;
    // How long stop() lets connections flush their replies and close before
    // it gives up on them.
    std::chrono::milliseconds stopGrace{5000};
    // The one user whose connections are served: the one the server runs as.
    uid_t servedUser = ::geteuid();
    // How uids read in the server's user namespace; empty: this process's,
    // read when the server starts.
    std::optional<UserNamespace> userNamespace;
  };

  WsServer(Callbacks callbacks, Options options);
  ~WsServer();
  WsServer(const WsServer&) = delete;
  WsServer& operator=(const WsServer&) = delete;

  // Listens on 127.0.0.1:`port` (0 picks a free port) and starts the server
  // threads. False with the reason in `error` when it cannot listen.
  bool start(int port, std::string& error);

  // The port actually listened on (after a successful start).
  uint16_t port() const;

  // Reply bytes waiting in the write queues of all connections right now.
  size_t queuedBytes() const;

  // Stops listening, lets every connection send what is queued, closes it
  // (onClose runs for each) and joins the server threads; waits at most the
  // stop grace for peers that do not read their replies. Idempotent.
  void stop();

  // Internal state, opaque outside ws_server.cpp (public so that the session
  // classes there can name it).
  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace qel
