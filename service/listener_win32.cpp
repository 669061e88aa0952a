#include "service/listener.h"

namespace brenvikd {

// Nothing: on Windows SO_REUSEADDR would let a second program bind the same
// address and take its requests, and a restart binds without it while old
// connections linger. A second brenvikd finds the address in use.
void PrepareListener(boost::asio::ip::tcp::acceptor&, boost::system::error_code& ec) { ec.clear(); }

}  // namespace brenvikd
