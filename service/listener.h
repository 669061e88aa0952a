// What the listening socket is given before it binds, as each system needs
// it (listener_posix.cpp, listener_win32.cpp).
#pragma once

#include <boost/asio/ip/tcp.hpp>

namespace brenvikd {

void PrepareListener(boost::asio::ip::tcp::acceptor& acceptor, boost::system::error_code& ec);

}  // namespace brenvikd
