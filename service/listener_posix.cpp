#include "service/listener.h"

namespace brenvikd {

// SO_REUSEADDR lets a restart bind while old connections linger; on Linux
// it never lets two listeners share an address (SO_REUSEPORT would).
void PrepareListener(boost::asio::ip::tcp::acceptor& acceptor, boost::system::error_code& ec) {
    acceptor.set_option(boost::asio::ip::tcp::acceptor::reuse_address(true), ec);
}

}  // namespace brenvikd
