#include "platform/loopback_port.h"

#include <boost/asio/ip/address.hpp>
#include <boost/asio/ip/v6_only.hpp>
#include <boost/beast/core/string.hpp>
#include <charconv>

#include "support/result_code.h"

namespace vemo::platform {
namespace {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;

constexpr uint32_t kErrorAccessDenied = 5;
constexpr uint32_t kErrorGenFailure = 31;

}  // namespace

std::optional<uint16_t> ParseLocalhostUrl(std::string_view url) {
  constexpr std::string_view kPrefix = "https://localhost:";
  if (url.size() <= kPrefix.size() ||
      !boost::beast::iequals(url.substr(0, kPrefix.size()), kPrefix)) {
    return std::nullopt;
  }
  url.remove_prefix(kPrefix.size());
  if (url.empty() || url.back() != '/') return std::nullopt;
  url.remove_suffix(1);
  unsigned port = 0;
  const auto [end, ec] = std::from_chars(url.data(), url.data() + url.size(), port);
  if (ec != std::errc() || end != url.data() + url.size() || port == 0 || port > 65535) {
    return std::nullopt;
  }
  return static_cast<uint16_t>(port);
}

uint32_t ListenOnLoopback(asio::io_context& io, uint16_t port,
                          std::vector<tcp::acceptor>* acceptors) {
  std::vector<tcp::acceptor> fresh;
  for (const auto& address : {asio::ip::address(asio::ip::address_v4::loopback()),
                              asio::ip::address(asio::ip::address_v6::loopback())}) {
    const tcp::endpoint endpoint(address, port);
    tcp::acceptor& acceptor = fresh.emplace_back(io);
    boost::system::error_code ec;
    acceptor.open(endpoint.protocol(), ec);
    if (!ec) acceptor.set_option(tcp::acceptor::reuse_address(true), ec);
    if (!ec && address.is_v6()) acceptor.set_option(asio::ip::v6_only(true), ec);
    if (!ec) acceptor.bind(endpoint, ec);
    if (!ec) acceptor.listen(asio::socket_base::max_listen_connections, ec);
    if (!ec) continue;
    if (ec == asio::error::address_in_use) return kErrorAlreadyExists;
    // A machine without IPv6 loopback is served on 127.0.0.1 alone.
    if (address.is_v6() && (ec == asio::error::address_family_not_supported ||
                            ec == boost::system::errc::address_not_available)) {
      fresh.pop_back();
      continue;
    }
    return ec == asio::error::access_denied ? kErrorAccessDenied : kErrorGenFailure;
  }
  for (auto& acceptor : fresh) acceptors->push_back(std::move(acceptor));
  return 0;
}

}  // namespace vemo::platform
