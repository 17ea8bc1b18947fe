#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace vemo::platform {

// The port the server serves, taken from its one address "https://localhost:PORT/"; nullopt for
// any other address.
std::optional<uint16_t> ParseLocalhostUrl(std::string_view url);

// Opens listening sockets for the port on 127.0.0.1 and ::1 (only 127.0.0.1 where the machine
// has no IPv6 loopback) and appends them to *acceptors. Returns 0, 183 when another process
// holds the port, 5 when we may not bind it, 31 for any other failure; on failure nothing is
// appended and nothing stays open. Call on the thread that runs io.
uint32_t ListenOnLoopback(boost::asio::io_context& io, uint16_t port,
                          std::vector<boost::asio::ip::tcp::acceptor>* acceptors);

}  // namespace vemo::platform
