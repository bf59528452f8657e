// The local port the interception engine listens on, drawn anew at every start.
#pragma once

#include "platform/connection_list.h"

namespace varnelo {

inline constexpr int kLowestLocalPort = 10000;
inline constexpr int kHighestLocalPort = 50000;
// Draws before giving up the search for a free port; with at most 40001 candidates in use this
// is only reached on a machine whose ports are nearly all taken.
inline constexpr int kMaxPortDraws = 1000;

// Draws a port from 10000 to 50000 (generator seeded anew for each draw from the millisecond clock
// plus a counter) and draws again while a fresh listing shows it in use (as a local or remote port,
// listening sockets included). After maxDraws draws the last one drawn is returned; the engine's
// start then reports the port as busy.
int ChooseLocalPort(ConnectionList& connections, int maxDraws = kMaxPortDraws);

// The same on the system's own connection list.
int ChooseLocalPort();

}  // namespace varnelo
