// The test client's Beast code: a WebSocket client, plain HTTP requests and
// the upgrade check.
#include "QelApi/QelDaemon/test_client.h"

#include <vector>

#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>

namespace qel::test {

namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
namespace net = boost::asio;
using tcp = net::ip::tcp;

struct TestClient::Impl {
  net::io_context ioc;
  websocket::stream<beast::tcp_stream> ws{ioc};
  beast::flat_buffer buffer;
  bool connected = false;
  int receiveBuffer = 0;  // 0: the kernel's default
  bool reading = false;
  bool readDone = false;
  bool peerClosed = false;
  beast::error_code readError;
  std::string readText;

  void startRead() {
    reading = true;
    readDone = false;
    ws.async_read(buffer, [this](beast::error_code ec, std::size_t) {
      reading = false;
      readDone = true;
      readError = ec;
      if (!ec) {
        readText = beast::buffers_to_string(buffer.data());
        buffer.consume(buffer.size());
      }
    });
  }

  // Runs handlers until `done` or the deadline.
  template <class Pred>
  void runUntil(Pred done, std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
      auto now = std::chrono::steady_clock::now();
      if (now >= deadline) break;
      if (ioc.stopped()) ioc.restart();
      ioc.run_one_for(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now));
    }
  }
};

TestClient::TestClient() : impl_(std::make_unique<Impl>()) {}
TestClient::~TestClient() { close(); }

bool TestClient::connect(uint16_t port, std::string& error) {
  return connect(port, "127.0.0.1:" + std::to_string(port), "", error);
}

bool TestClient::connect(uint16_t port, const std::string& host, const std::string& origin, std::string& error) {
  beast::error_code ec;
  tcp::socket& socket = beast::get_lowest_layer(impl_->ws).socket();
  if (impl_->receiveBuffer > 0) {
    // Set before connecting, so that the window offered to the server is small.
    socket.open(tcp::v4(), ec);
    if (!ec) socket.set_option(net::socket_base::receive_buffer_size(impl_->receiveBuffer), ec);
  }
  if (!ec) socket.connect(tcp::endpoint(net::ip::address_v4::loopback(), port), ec);
  if (!origin.empty()) {
    impl_->ws.set_option(websocket::stream_base::decorator(
        [origin](websocket::request_type& request) { request.set(http::field::origin, origin); }));
  }
  if (!ec) impl_->ws.handshake(host, "/", ec);
  if (ec) {
    error = ec.message();
    return false;
  }
  impl_->connected = true;
  return true;
}

void TestClient::limitReceiveBuffer(int bytes) { impl_->receiveBuffer = bytes; }

bool TestClient::send(const std::string& text) {
  if (!impl_->connected || impl_->peerClosed) return false;
  beast::error_code ec;
  impl_->ws.text(true);
  impl_->ws.write(net::buffer(text), ec);
  return !ec;
}

std::optional<std::string> TestClient::receive(std::chrono::milliseconds timeout) {
  if (!impl_->connected || impl_->peerClosed) return std::nullopt;
  if (!impl_->reading && !impl_->readDone) impl_->startRead();
  impl_->runUntil([this] { return impl_->readDone; }, timeout);
  if (!impl_->readDone) return std::nullopt;
  impl_->readDone = false;
  if (impl_->readError) {
    impl_->peerClosed = true;
    return std::nullopt;
  }
  return impl_->readText;
}

std::optional<std::string> TestClient::request(const std::string& text, std::chrono::milliseconds timeout) {
  if (!send(text)) return std::nullopt;
  return receive(timeout);
}

bool TestClient::waitClosed(std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!impl_->peerClosed) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    receive(left);
  }
  return true;
}

bool TestClient::closedByPeer() const { return impl_->peerClosed; }

void TestClient::close() {
  if (!impl_->connected) return;
  impl_->connected = false;
  if (!impl_->peerClosed) {
    bool closeDone = false;
    impl_->ws.async_close(websocket::close_code::normal, [&closeDone](beast::error_code) { closeDone = true; });
    impl_->runUntil([&] { return closeDone && !impl_->reading; }, std::chrono::seconds(5));
  }
  beast::error_code ec;
  beast::get_lowest_layer(impl_->ws).socket().close(ec);
  impl_->runUntil([this] { return !impl_->reading; }, std::chrono::seconds(1));
}

HttpResult httpGet(uint16_t port, const std::string& target) {
  HttpResult result;
  net::io_context ioc;
  beast::tcp_stream stream(ioc);
  beast::error_code ec;
  stream.socket().connect(tcp::endpoint(net::ip::address_v4::loopback(), port), ec);
  if (ec) return result;
  http::request<http::empty_body> request(http::verb::get, target, 11);
  request.set(http::field::host, "127.0.0.1");
  http::write(stream, request, ec);
  if (ec) return result;
  beast::flat_buffer buffer;
  http::response<http::string_body> response;
  http::read(stream, buffer, response, ec);
  if (ec) return result;
  result.ok = true;
  result.status = static_cast<int>(response.result_int());
  result.body = response.body();
  stream.socket().shutdown(tcp::socket::shutdown_both, ec);
  return result;
}

int upgradeStatus(uint16_t port, const std::vector<std::pair<std::string, std::string>>& headers) {
  net::io_context ioc;
  beast::tcp_stream stream(ioc);
  beast::error_code ec;
  stream.socket().connect(tcp::endpoint(net::ip::address_v4::loopback(), port), ec);
  if (ec) return 0;
  http::request<http::empty_body> request(http::verb::get, "/", 11);
  for (const auto& [name, value] : headers) request.insert(name, value);
  request.set(http::field::connection, "Upgrade");
  request.set(http::field::upgrade, "websocket");
  request.set(http::field::sec_websocket_key, "dGhlIHNhbXBsZSBub25jZQ==");
  request.set(http::field::sec_websocket_version, "13");
  http::write(stream, request, ec);
  if (ec) return 0;
  beast::flat_buffer buffer;
  http::response_parser<http::empty_body> parser;
  parser.skip(true);  // a 101 has no body to wait for
  stream.expires_after(std::chrono::seconds(30));
  http::read_header(stream, buffer, parser, ec);
  if (ec) return 0;
  int status = static_cast<int>(parser.get().result_int());
  stream.socket().shutdown(tcp::socket::shutdown_both, ec);
  stream.socket().close(ec);
  return status;
}

bool portInUse(uint16_t port) {
  net::io_context ioc;
  tcp::socket socket(ioc);
  beast::error_code ec;
  socket.connect(tcp::endpoint(net::ip::address_v4::loopback(), port), ec);
  return !ec;
}

}  // namespace qel::test
