// Opening the listening socket of a local-only server: the daemon's, and the
// plain WebSocket echo server its benchmark compares it with.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

namespace qel {

// Emplaces into `acceptor` an acceptor on its own strand of `ioc`, listening on
// 127.0.0.1:`port` (0 picks a free port). Returns the bound port, or nullopt
// with `error` set and `acceptor` empty; `error` names the address and port and
// says why ("cannot listen on 127.0.0.1:8800: Address already in use").
std::optional<uint16_t> ListenOnLoopback(boost::asio::io_context& ioc,
                                         std::optional<boost::asio::ip::tcp::acceptor>& acceptor, uint16_t port,
                                         std::string& error);

}  // namespace qel
