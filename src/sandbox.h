// Confinement once setup is done: while the tool reads what anyone on the
// network can send, it can do no more than probe and print its line.
#pragma once

#ifdef __linux__
#include <linux/filter.h>

#include <vector>
#endif

// True where this build confines the process: Linux (seccomp), FreeBSD
// (capability mode), OpenBSD (pledge). Elsewhere, or built with
// -DPMTU6_SANDBOX=OFF, confine does nothing.
extern const bool confinement_built;

// From here on the process cannot open a file, create, bind or connect a
// socket, execute a program, fork, or regain a privilege. On Linux the probe
// socket only sends, is asked for its pending error, is told which MTU to
// check a probe against and is read for the MTU of a refused probe; the
// listeners are only read. Every other call fails with
// EPERM. If the confinement cannot be installed: perror("sandbox"), exit 1.
void confine(int probe_socket, int listener, int ipv4_listener);

#ifdef __linux__
// The seccomp program that confine installs, where this build confines.
std::vector<sock_filter> confinement_program(int probe_socket, int listener, int ipv4_listener);
#endif
