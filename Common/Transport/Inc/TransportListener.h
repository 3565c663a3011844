// The listening socket of a server: made here once for the transport and
// for the web API's connections, with the same options and log lines.
#pragma once

#include <cstdint>

namespace corvane {

// Opens a listening TCP socket on bindAddress:port (host order; address 0
// is every local address): address reuse on, non-blocking. peersSpeakFirst
// hands a connection to accept only once its first bytes are there (a silent
// peer after about a second). bindAttempts above 1 retry a busy port,
// pausing after each failed attempt. 0 with the socket in *out; -1 when no
// socket could be made, -2 when binding failed, -3 when listening failed
// (each logged).
int OpenListeningSocket(uint32_t bindAddress, uint16_t port, int bindAttempts, bool peersSpeakFirst, int* out);

}  // namespace corvane
