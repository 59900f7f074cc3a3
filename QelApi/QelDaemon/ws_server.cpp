// The only translation unit that includes Beast: it is slow to compile.
#include "QelDaemon/ws_server.h"

#include <malloc.h>

#include <algorithm>
#include <atomic>
#include <deque>
#include <exception>
#include <future>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>
#include <vector>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/dispatch.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>

#include <fmt/format.h>

#include "QelDaemon/channel.h"
#include "QelDaemon/loopback_listener.h"
#include "QelDaemon/peer_owner.h"
#include "QelDaemon/refusal_log.h"
#include "QelDaemon/replies.h"
#include "QelDaemon/upgrade_guard.h"
#include "common/text_convert.h"

namespace qel {

namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
namespace net = boost::asio;
using tcp = net::ip::tcp;

namespace {

// Limits of a plain HTTP exchange: "/ping" needs no body and answers at once.
constexpr auto kHttpTimeout = std::chrono::seconds(30);
constexpr size_t kHttpBodyLimit = 64 * 1024;
// Opening and closing handshakes on loopback finish at once; a peer that does
// not answer is dropped after this.
constexpr auto kHandshakeTimeout = std::chrono::seconds(10);
// How long a connection waits for the peer's answer to its close frame. A
// client on loopback answers within milliseconds; one that does not read any
// more never answers, and must not hold the daemon's exit for the stop grace.
constexpr auto kCloseAnswerWait = std::chrono::milliseconds(500);
// The pause after an accept that failed for want of a resource (descriptors,
// memory): short enough that a freed descriptor is used at once for a person
// waiting on a connection, long enough that the retries cost nothing.
constexpr auto kAcceptRetryDelay = std::chrono::milliseconds(100);

// Anything the server can close when it stops.
class Closable {
 public:
  virtual ~Closable() = default;
  // Callable from any thread: on the object's own strand, flush what is
  // queued, then close.
  virtual void shutdown() = 0;
  // Runs on the owning thread after the server threads have ended: report the
  // close of a connection that did not get to close normally, and drop it.
  virtual void abandon() = 0;
};

// Returns freed heap memory to the system. A queue of many small replies
// leaves the allocator's arenas full of free chunks that it would otherwise
// keep for the life of the process.
void ReleaseFreedMemory() {
#ifdef __GLIBC__
  ::malloc_trim(0);
#endif
}

}  // namespace

struct WsServer::Impl {
  // Declared before the io_context so that they outlive every handler the
  // io_context destroys.
  Callbacks callbacks;
  Options options;
  std::atomic<bool> stopping{false};
  std::atomic<size_t> queuedBytes{0};  // sum over every connection's write queue
  // How the kernel's uids read here: set at start, read-only afterwards.
  UserNamespace users;
  RefusalLog refusals{[](const std::string& line) { DaemonLog('w', line); }};

  // Every session ever started that may still be alive. Guarded by
  // sessionsMutex, as is the decision to shut a new one down at once because
  // stop() has already walked the list.
  std::mutex sessionsMutex;
  std::vector<std::weak_ptr<Closable>> sessions;
  bool sessionsClosed = false;

  net::io_context ioc;
  // The acceptor and its accept loop live on their own strand; stop() closes
  // the acceptor there.
  std::optional<tcp::acceptor> acceptor;
  // On the acceptor's strand: the pause before the next accept after a failed
  // one, and whether the failure has been logged since the last success.
  std::optional<net::steady_timer> acceptRetry;
  bool acceptFailing = false;
  // On a strand of their own (made at start, read-only afterwards): the wait
  // for the next count of refusals the log owes, armed only while one is owed.
  std::optional<net::strand<net::io_context::executor_type>> refusalStrand;
  std::optional<net::steady_timer> refusalFlush;
  bool refusalFlushArmed = false;
  uint64_t refusalFlushWait = 0;  // the number of the wait in force
  uint16_t boundPort = 0;
  std::vector<std::thread> threads;
  std::atomic<size_t> runningThreads{0};
  std::promise<void> finished;  // set when the last server thread has returned

  // Registers a new session; one that arrives after stop() walked the list is
  // shut down at once.
  void track(const std::shared_ptr<Closable>& session) {
    {
      std::lock_guard lock(sessionsMutex);
      if (!sessionsClosed) {
        std::erase_if(sessions, [](const std::weak_ptr<Closable>& s) { return s.expired(); });
        sessions.push_back(session);
        return;
      }
    }
    session->shutdown();
  }
  // Closes the list and shuts every live session down.
  void shutdownSessions() {
    std::vector<std::shared_ptr<Closable>> live;
    {
      std::lock_guard lock(sessionsMutex);
      sessionsClosed = true;
      for (const auto& weak : sessions) {
        if (auto session = weak.lock()) live.push_back(std::move(session));
      }
    }
    for (const auto& session : live) session->shutdown();
  }
  void doAccept();
  void onAcceptFailed(const beast::error_code& ec);

  // Logs a refused upgrade of `user`'s connection (any thread).
  void noteRefusal(std::optional<uid_t> user, const std::string& reason) {
    if (refusals.refused(user, reason)) net::post(*refusalStrand, [this] { armRefusalFlush(); });
  }
  // On the refusal strand: waits until the log owes its earliest count, then
  // writes it. A count that falls due before the wait ends sets it earlier.
  void armRefusalFlush() {
    if (stopping) return;
    const std::optional<RefusalLog::Clock::time_point> due = refusals.nextDue();
    if (!due || (refusalFlushArmed && refusalFlush->expiry() <= *due)) return;
    refusalFlushArmed = true;
    const uint64_t wait = ++refusalFlushWait;
    refusalFlush->expires_at(*due);  // ends an earlier wait, whose handler then does nothing
    refusalFlush->async_wait([this, wait](beast::error_code ec) {
      if (wait != refusalFlushWait) return;
      refusalFlushArmed = false;
      if (ec || stopping) return;
      refusals.flushDue();
      armRefusalFlush();
    });
  }
};

namespace {

class WsSession : public Channel, public Closable, public std::enable_shared_from_this<WsSession> {
 public:
  WsSession(tcp::socket&& socket, WsServer::Impl& core)
      : ws_(std::move(socket)), timer_(ws_.get_executor()), closeWait_(ws_.get_executor()), core_(core) {}

  ~WsSession() override { core_.queuedBytes.fetch_sub(queuedBytes_); }

  // Runs on the connection's strand.
  void run(http::request<http::string_body> request) {
    websocket::stream_base::timeout timeouts{};
    timeouts.handshake_timeout = kHandshakeTimeout;
    // Beast pings a connection that has been silent for half the idle time and
    // drops it when the whole idle time passes without a word.
    timeouts.idle_timeout = core_.options.pingInterval * 2;
    timeouts.keep_alive_pings = true;
    ws_.set_option(timeouts);
    ws_.set_option(websocket::stream_base::decorator(
        [](websocket::response_type& response) { response.set(http::field::server, "QelDaemon"); }));
    // Beast fails the read of a longer message and closes with 1009.
    ws_.read_message_max(kMaxMessageBytes);
    ws_.async_accept(request, beast::bind_front_handler(&WsSession::onAccept, shared_from_this()));
    core_.track(shared_from_this());
  }

  void send(std::string text) override {
    // On the connection's strand the message joins the queue at once
    // (dispatch), so a reply is queued before anything its handler triggers:
    // the quit reply must be in the queue before main sees the quit flag and
    // stops the server. From any other thread it is posted to the strand, in
    // the order of the calls.
    net::dispatch(ws_.get_executor(), [self = shared_from_this(), message = toValidUtf8(text)]() mutable {
      self->enqueue(std::move(message));
    });
  }

  bool connected() const override { return open_.load(); }

  void shutdown() override {
    net::dispatch(ws_.get_executor(), [self = shared_from_this()] { self->shutdownOnStrand(); });
  }

  void abandon() override {
    finish();
    beast::error_code ec;
    beast::get_lowest_layer(ws_).socket().close(ec);
    dropQueued();
  }

 private:
  void shutdownOnStrand() {
    if (closing_) return;
    closing_ = true;
    if (!open_) {
      beast::error_code ec;
      beast::get_lowest_layer(ws_).socket().close(ec);
      return;
    }
    if (queue_.empty()) doClose();  // else onWrite closes once the queue is empty
  }

  void onAccept(beast::error_code ec) {
    if (ec || closing_) return;  // never opened, never counted
    open_ = true;
    core_.callbacks.onOpen(shared_from_this());
    armTimer();
    doRead();
  }

  void doRead() { ws_.async_read(buffer_, beast::bind_front_handler(&WsSession::onRead, shared_from_this())); }

  void onRead(beast::error_code ec, std::size_t) {
    if (ec) {
      finish();
      return;
    }
    std::string text = beast::buffers_to_string(buffer_.data());
    buffer_.consume(buffer_.size());
    if (!closing_) {
      try {
        core_.callbacks.onMessage(shared_from_this(), text);
      } catch (const std::exception& e) {
        DaemonLog('e', fmt::format("request handler failed: {}", e.what()));
      }
    }
    if (!overflowed_) doRead();
  }

  void enqueue(std::string message) {
    if (!open_ || closing_ || overflowed_) return;
    addQueued(message.size());
    queue_.push_back(std::move(message));
    if (queue_.size() > 1 && queuedBytes_ > core_.options.maxQueuedBytes) {
      overflow();
      return;
    }
    if (queue_.size() == 1) doWrite();
  }

  // The client does not read what it asks for: drop it rather than buffer its
  // replies without end.
  void overflow() {
    DaemonLog('w', fmt::format("connection closed: {} bytes of replies not read by the client (bound {})", queuedBytes_,
                               core_.options.maxQueuedBytes));
    overflowed_ = true;
    // Closing the socket ends the write in flight (no read is pending: this
    // runs inside a message handler, and none is started again); its handler
    // reports the close. The write keeps its buffer until then.
    beast::error_code ec;
    beast::get_lowest_layer(ws_).socket().close(ec);
    dropQueued();
    ReleaseFreedMemory();
  }

  void doWrite() {
    writing_ = true;
    ws_.text(true);
    ws_.async_write(net::buffer(queue_.front()), beast::bind_front_handler(&WsSession::onWrite, shared_from_this()));
  }

  void onWrite(beast::error_code ec, std::size_t) {
    writing_ = false;
    addQueued(-static_cast<std::ptrdiff_t>(queue_.front().size()));
    queue_.pop_front();
    // After an overflow this write may still have succeeded (its completion
    // was already queued when the socket was closed); the connection ends
    // here either way, never inside the handler that overflowed (it may hold
    // the task-store mutex, which the close callback takes).
    if (ec || overflowed_) {
      finish();
      dropQueued();
      return;
    }
    if (!queue_.empty()) {
      doWrite();
    } else if (closing_ && open_) {
      doClose();
    }
  }

  // Runs once every queued reply has been written, so a client that reads
  // gets them all; only the wait for its close answer is bounded.
  void doClose() {
    closeWait_.expires_after(kCloseAnswerWait);
    closeWait_.async_wait([self = shared_from_this()](beast::error_code ec) {
      if (ec) return;
      // Ends the close and the pending read, whose handlers report the close.
      beast::error_code ignored;
      beast::get_lowest_layer(self->ws_).socket().close(ignored);
    });
    ws_.async_close(websocket::close_code::normal, [self = shared_from_this()](beast::error_code) {
      self->closeWait_.cancel();
      self->finish();
    });
  }

  void armTimer() {
    timer_.expires_after(core_.options.tickInterval);
    timer_.async_wait([self = shared_from_this()](beast::error_code ec) {
      // A connection that has closed ends its tick, and with it the tick's
      // reference to the connection.
      if (ec || !self->open_) return;
      self->core_.callbacks.onTick(self);
      self->armTimer();
    });
  }

  // The connection has ended: report it once.
  void finish() {
    if (!open_.exchange(false)) return;
    timer_.cancel();
    core_.callbacks.onClose(shared_from_this());
  }

  // Frees every queued message except the one a write still uses.
  void dropQueued() {
    const size_t keep = writing_ ? 1 : 0;
    while (queue_.size() > keep) {
      addQueued(-static_cast<std::ptrdiff_t>(queue_.back().size()));
      queue_.pop_back();
    }
    if (queue_.empty()) std::deque<std::string>().swap(queue_);
  }

  void addQueued(std::ptrdiff_t bytes) {
    queuedBytes_ += static_cast<size_t>(bytes);
    core_.queuedBytes.fetch_add(static_cast<size_t>(bytes));
  }

  websocket::stream<beast::tcp_stream> ws_;  // its executor is the connection's strand
  net::steady_timer timer_;
  net::steady_timer closeWait_;
  WsServer::Impl& core_;
  beast::flat_buffer buffer_;
  // Everything below but open_ is touched on the strand only.
  std::deque<std::string> queue_;  // front is the write in flight while writing_
  size_t queuedBytes_ = 0;
  bool writing_ = false;
  bool overflowed_ = false;
  std::atomic<bool> open_{false};
  bool closing_ = false;
};

class HttpSession : public Closable, public std::enable_shared_from_this<HttpSession> {
 public:
  HttpSession(tcp::socket&& socket, WsServer::Impl& core) : stream_(std::move(socket)), core_(core) {}

  // The connection's strand (the accepted socket's executor).
  net::any_io_executor executor() { return stream_.get_executor(); }

  // Runs on the connection's strand.
  void run() {
    doRead();
    core_.track(shared_from_this());
  }

  void shutdown() override {
    net::dispatch(stream_.get_executor(), [self = shared_from_this()] { self->closeStream(); });
  }

  void abandon() override { closeStream(); }

 private:
  void doRead() {
    parser_.emplace();
    parser_->body_limit(kHttpBodyLimit);
    stream_.expires_after(kHttpTimeout);
    http::async_read(stream_, buffer_, *parser_, beast::bind_front_handler(&HttpSession::onRead, shared_from_this()));
  }

  void onRead(beast::error_code ec, std::size_t) {
    if (ec == http::error::end_of_stream) {
      stream_.socket().shutdown(tcp::socket::shutdown_send, ec);
      return;
    }
    if (ec || core_.stopping) return;
    if (websocket::is_upgrade(parser_->get())) {
      // The owner first, whatever the headers: refusals are counted by user.
      const PeerOwner peer = FindPeerOwner(stream_.socket().native_handle(), core_.users);
      std::optional<std::string> refusal = ownerRefusal(peer);
      if (!refusal) refusal = refusalOf(parser_->get());
      if (refusal) {
        core_.noteRefusal(peer.uid, *refusal);
        refuse(parser_->release());
        return;
      }
      // The WebSocket stream keeps its own timeouts.
      stream_.expires_never();
      std::make_shared<WsSession>(stream_.release_socket(), core_)->run(parser_->release());
      return;
    }
    respond(parser_->release());
  }

  void closeStream() {
    beast::error_code ec;
    stream_.socket().shutdown(tcp::socket::shutdown_both, ec);
    stream_.close();
  }

  // A repeated Host or Origin header is as suspect as a wrong one.
  static std::optional<std::string> refusalOf(const http::request<http::string_body>& request) {
    if (request.count(http::field::host) > 1) return std::string("repeated Host header");
    if (request.count(http::field::origin) > 1) return std::string("repeated Origin header");
    std::optional<std::string_view> host;
    std::optional<std::string_view> origin;
    if (auto it = request.find(http::field::host); it != request.end()) {
      host.emplace(it->value().data(), it->value().size());
    }
    if (auto it = request.find(http::field::origin); it != request.end()) {
      origin.emplace(it->value().data(), it->value().size());
    }
    return UpgradeRefusal(host ? &*host : nullptr, origin ? &*origin : nullptr);
  }

  // `peer` is looked up once per connection, before its first WebSocket
  // message can be read.
  std::optional<std::string> ownerRefusal(const PeerOwner& peer) const {
    if (!peer.uid) return "the user of the connection is unknown: " + peer.whyUnknown;
    if (*peer.uid != core_.options.servedUser) {
      return fmt::format("the connection belongs to user {}; only user {}, who runs the daemon, is served", *peer.uid,
                         core_.options.servedUser);
    }
    return std::nullopt;
  }

  void refuse(const http::request<http::string_body>& request) {
    auto response = std::make_shared<http::response<http::string_body>>();
    response->version(request.version());
    response->keep_alive(false);
    response->result(http::status::forbidden);
    response->set(http::field::server, "QelDaemon");
    response->set(http::field::content_type, "text/plain");
    response->body() = "Forbidden";
    response->prepare_payload();
    http::async_write(stream_, *response, [self = shared_from_this(), response](beast::error_code ec, std::size_t) {
      self->onWrite(ec, true);
    });
  }

  void respond(const http::request<http::string_body>& request) {
    auto response = std::make_shared<http::response<http::string_body>>();
    response->version(request.version());
    response->keep_alive(request.keep_alive());
    response->set(http::field::server, "QelDaemon");
    std::string_view target(request.target().data(), request.target().size());
    target = target.substr(0, target.find('?'));
    if (request.method() == http::verb::get && target == "/ping") {
      response->result(http::status::ok);
      response->set(http::field::content_type, "application/json");
      response->body() = "{\"pong\":1}";
    } else {
      response->result(http::status::not_found);
      response->set(http::field::content_type, "text/plain");
      response->body() = "Not Found";
    }
    response->prepare_payload();
    http::async_write(stream_, *response, [self = shared_from_this(), response](beast::error_code ec, std::size_t) {
      self->onWrite(ec, response->need_eof());
    });
  }

  void onWrite(beast::error_code ec, bool close) {
    if (ec) return;
    if (close || core_.stopping) {
      stream_.socket().shutdown(tcp::socket::shutdown_send, ec);
      return;
    }
    doRead();
  }

  beast::tcp_stream stream_;
  WsServer::Impl& core_;
  beast::flat_buffer buffer_;
  std::optional<http::request_parser<http::string_body>> parser_;
};

}  // namespace

void WsServer::Impl::doAccept() {
  // Each connection gets its own strand: its handlers never run at the same
  // time, while different connections run on different threads.
  acceptor->async_accept(net::make_strand(ioc), [this](beast::error_code ec, tcp::socket socket) {
    if (stopping || !acceptor->is_open()) return;
    if (ec) {
      onAcceptFailed(ec);
      return;
    }
    acceptFailing = false;
    // Replies are small and often come in bursts (a reply, then a pushed
    // notice): without this, Nagle's algorithm holds the second one until
    // the client's delayed acknowledgement, some 40 ms later.
    beast::error_code optionError;
    socket.set_option(tcp::no_delay(true), optionError);
    auto session = std::make_shared<HttpSession>(std::move(socket), *this);
    // The session starts on its own strand, not on the acceptor's.
    net::dispatch(session->executor(), [session] { session->run(); });
    doAccept();
  });
}

void WsServer::Impl::onAcceptFailed(const beast::error_code& ec) {
  // A peer that gave up before its connection was taken: the next one is
  // unaffected.
  if (ec == net::error::connection_aborted || ec == net::error::interrupted) {
    doAccept();
    return;
  }
  // Anything else (out of descriptors at the RLIMIT_NOFILE bound, of memory
  // or buffers) fails again at once while the waiting connection stays in the
  // backlog: accepting again straight away would spin a whole core. Pause;
  // by then a connection may have closed and freed what was missing.
  if (!acceptFailing) {
    acceptFailing = true;
    DaemonLog('w', fmt::format("accept failed: {}; retrying every {} ms", ec.message(), kAcceptRetryDelay.count()));
  }
  acceptRetry->expires_after(kAcceptRetryDelay);
  acceptRetry->async_wait([this](beast::error_code waitError) {
    if (waitError || stopping || !acceptor->is_open()) return;
    doAccept();
  });
}

WsServer::WsServer(Callbacks callbacks, Options options) : impl_(std::make_unique<Impl>()) {
  impl_->callbacks = std::move(callbacks);
  impl_->options = options;
}

WsServer::~WsServer() { stop(); }

bool WsServer::start(int port, std::string& error) {
  if (port < 0 || port > 65535) {
    error = fmt::format("port {} is out of range", port);
    return false;
  }
  Impl& core = *impl_;
  if (!core.threads.empty()) {
    error = "the server is already running";
    return false;
  }
  const std::optional<uint16_t> bound = ListenOnLoopback(core.ioc, core.acceptor, static_cast<uint16_t>(port), error);
  if (!bound) return false;
  core.boundPort = *bound;
  core.acceptRetry.emplace(core.acceptor->get_executor());
  core.refusalStrand.emplace(net::make_strand(core.ioc));
  core.refusalFlush.emplace(*core.refusalStrand);
  core.users = core.options.userNamespace ? *core.options.userNamespace : ReadUserNamespace();
  if (core.users.isUnmappedUser(core.options.servedUser)) {
    DaemonLog('e', fmt::format("the daemon's user reads as uid {}, the overflow uid, which stands for every user "
                               "without a mapping in its user namespace: no connection can be told to be that "
                               "user's, so none is served",
                               core.options.servedUser));
  }
  core.doAccept();

  unsigned count = core.options.threads;
  if (count == 0) count = std::max(2u, std::thread::hardware_concurrency());
  core.runningThreads = count;
  for (unsigned i = 0; i < count; ++i) {
    try {
      core.threads.emplace_back([&core] {
        for (;;) {
          try {
            core.ioc.run();
            break;
          } catch (const std::exception& e) {
            DaemonLog('e', fmt::format("server loop: {}", e.what()));
          }
        }
        if (core.runningThreads.fetch_sub(1) == 1) core.finished.set_value();
      });
    } catch (const std::system_error& e) {
      // Fewer threads than asked still serve; none at all cannot.
      DaemonLog('w', fmt::format("server thread {} not started: {}", i, e.what()));
      if (core.runningThreads.fetch_sub(count - i) == count - i) {
        error = e.what();
        core.acceptor.reset();
        return false;
      }
      break;
    }
  }
  return true;
}

uint16_t WsServer::port() const { return impl_->boundPort; }

size_t WsServer::queuedBytes() const { return impl_->queuedBytes.load(); }

void WsServer::stop() {
  Impl& core = *impl_;
  if (core.threads.empty()) return;
  net::post(core.acceptor->get_executor(), [&core] {
    core.stopping = true;
    beast::error_code ec;
    core.acceptor->close(ec);
    core.acceptRetry->cancel();
    // After `stopping`, so that no flush is armed again.
    net::post(*core.refusalStrand, [&core] { core.refusalFlush->cancel(); });
    core.shutdownSessions();
  });
  // run() returns by itself once every connection has flushed and closed.
  if (core.finished.get_future().wait_for(core.options.stopGrace) != std::future_status::ready) core.ioc.stop();
  for (std::thread& thread : core.threads) thread.join();
  core.threads.clear();
  // Connections that did not close in time are reported closed here, on the
  // owning thread, so that nothing keeps them past the io_context.
  std::vector<std::shared_ptr<Closable>> left;
  {
    std::lock_guard lock(core.sessionsMutex);
    for (const auto& weak : core.sessions) {
      if (auto session = weak.lock()) left.push_back(std::move(session));
    }
    core.sessions.clear();
  }
  for (const auto& session : left) session->abandon();
  // What the log still owes is written before the daemon goes.
  core.refusals.flushAll();
}

}  // namespace qel
