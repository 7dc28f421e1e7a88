// Giving up privilege once the raw socket is open: nothing after it needs any.
#pragma once

// Makes a permitted CAP_NET_RAW effective, for a binary installed with the
// capability permitted only (cap_net_raw=p), as RPM packages give it. Where
// it cannot, the raw socket fails as it would have.
void raise_raw_socket_capability();

// Sets every user and group id to the real one when started set-uid or
// set-gid and, on Linux, clears all capabilities. Checks that the drop holds;
// if not, stops with a message and exit status 1.
void drop_privileges();
