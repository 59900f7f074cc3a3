#include "bench/echo_server.h"

#include <algorithm>
#include <deque>
#include <optional>
#include <thread>
#include <vector>

#include <boost/asio/dispatch.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/strand.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>

#include "QelDaemon/loopback_listener.h"

namespace qel::bench {

namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
namespace net = boost::asio;
using tcp = net::ip::tcp;

struct EchoServer::Impl {
  net::io_context ioc;
  std::optional<tcp::acceptor> acceptor;
  uint16_t boundPort = 0;
  std::vector<std::thread> threads;

  void doAccept();
};

namespace {

// The daemon's stream settings, so that both servers pay for the same timers.
constexpr auto kHandshakeTimeout = std::chrono::seconds(10);
constexpr auto kIdleTimeout = std::chrono::seconds(20);
constexpr size_t kMaxMessageBytes = 4 * 1024 * 1024;

class EchoSession : public std::enable_shared_from_this<EchoSession> {
 public:
  explicit EchoSession(tcp::socket&& socket) : ws_(std::move(socket)) {}

  void run(http::request<http::string_body> request) {
    websocket::stream_base::timeout timeouts{};
    timeouts.handshake_timeout = kHandshakeTimeout;
    timeouts.idle_timeout = kIdleTimeout;
    timeouts.keep_alive_pings = true;
    ws_.set_option(timeouts);
    ws_.read_message_max(kMaxMessageBytes);
    ws_.async_accept(request, beast::bind_front_handler(&EchoSession::onAccept, shared_from_this()));
  }

 private:
  void onAccept(beast::error_code ec) {
    if (!ec) doRead();
  }

  void doRead() { ws_.async_read(buffer_, beast::bind_front_handler(&EchoSession::onRead, shared_from_this())); }

  void onRead(beast::error_code ec, std::size_t) {
    if (ec) return;
    std::string text = beast::buffers_to_string(buffer_.data());
    buffer_.consume(buffer_.size());
    // As the daemon's send does: through the connection's strand (here it
    // runs at once, being on it).
    net::dispatch(ws_.get_executor(), [self = shared_from_this(), message = std::move(text)]() mutable {
      self->enqueue(std::move(message));
    });
    doRead();
  }

  void enqueue(std::string message) {
    queue_.push_back(std::move(message));
    if (queue_.size() == 1) doWrite();
  }

  void doWrite() {
    ws_.text(true);
    ws_.async_write(net::buffer(queue_.front()), beast::bind_front_handler(&EchoSession::onWrite, shared_from_this()));
  }

  void onWrite(beast::error_code ec, std::size_t) {
    queue_.pop_front();
    if (ec) return;
    if (!queue_.empty()) doWrite();
  }

  websocket::stream<beast::tcp_stream> ws_;
  beast::flat_buffer buffer_;
  std::deque<std::string> queue_;
};

class HttpSession : public std::enable_shared_from_this<HttpSession> {
 public:
  explicit HttpSession(tcp::socket&& socket) : stream_(std::move(socket)) {}
  net::any_io_executor executor() { return stream_.get_executor(); }

  void run() {
    parser_.emplace();
    stream_.expires_after(std::chrono::seconds(30));
    http::async_read(stream_, buffer_, *parser_, beast::bind_front_handler(&HttpSession::onRead, shared_from_this()));
  }

 private:
  void onRead(beast::error_code ec, std::size_t) {
    if (ec || !websocket::is_upgrade(parser_->get())) return;
    stream_.expires_never();
    std::make_shared<EchoSession>(stream_.release_socket())->run(parser_->release());
  }

  beast::tcp_stream stream_;
  beast::flat_buffer buffer_;
  std::optional<http::request_parser<http::string_body>> parser_;
};

}  // namespace

void EchoServer::Impl::doAccept() {
  acceptor->async_accept(net::make_strand(ioc), [this](beast::error_code ec, tcp::socket socket) {
    if (!acceptor->is_open()) return;
    if (!ec) {
      beast::error_code optionError;
      socket.set_option(tcp::no_delay(true), optionError);
      auto session = std::make_shared<HttpSession>(std::move(socket));
      net::dispatch(session->executor(), [session] { session->run(); });
    }
    doAccept();
  });
}

EchoServer::EchoServer() : impl_(std::make_unique<Impl>()) {}

EchoServer::~EchoServer() { stop(); }

bool EchoServer::start(unsigned threads, std::string& error) {
  Impl& core = *impl_;
  const std::optional<uint16_t> bound = ListenOnLoopback(core.ioc, core.acceptor, 0, error);
  if (!bound) return false;
  core.boundPort = *bound;
  core.doAccept();
  unsigned count = threads != 0 ? threads : std::max(2u, std::thread::hardware_concurrency());
  for (unsigned i = 0; i < count; ++i) core.threads.emplace_back([&core] { core.ioc.run(); });
  return true;
}

uint16_t EchoServer::port() const { return impl_->boundPort; }

void EchoServer::stop() {
  Impl& core = *impl_;
  if (core.threads.empty()) return;
  core.ioc.stop();
  for (std::thread& thread : core.threads) thread.join();
  core.threads.clear();
}

}  // namespace qel::bench
