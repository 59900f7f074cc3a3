#include "QelDaemon/loopback_listener.h"

#include <string>

#include <boost/asio/strand.hpp>

namespace qel {

std::optional<uint16_t> ListenOnLoopback(boost::asio::io_context& ioc,
                                         std::optional<boost::asio::ip::tcp::acceptor>& acceptor, uint16_t port,
                                         std::string& error) {
  namespace net = boost::asio;
  const net::ip::tcp::endpoint endpoint(net::ip::address_v4::loopback(), port);
  boost::system::error_code ec;
  acceptor.emplace(net::make_strand(ioc));
  acceptor->open(endpoint.protocol(), ec);
  if (!ec) acceptor->set_option(net::socket_base::reuse_address(true), ec);
  if (!ec) acceptor->bind(endpoint, ec);
  if (!ec) acceptor->listen(net::socket_base::max_listen_connections, ec);
  if (ec) {
    // Said whole, for the one line a user sees when the daemon cannot start.
    error = "cannot listen on 127.0.0.1:" + std::to_string(port) + ": " + ec.message();
    acceptor.reset();
    return std::nullopt;
  }
  return acceptor->local_endpoint(ec).port();
}

}  // namespace qel
