#include "startup.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>

void open_standard_descriptors()
{
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) >= 0 || errno != EBADF) {
            continue;
        }
        // The lowest free descriptor is this one: those below it are open.
        const int opened = open("/dev/null", O_RDWR);
        if (opened != fd) {
            perror("/dev/null");
            exit(1);
        }
    }
}

void ignore_broken_pipe()
{
    (void)signal(SIGPIPE, SIG_IGN);
}
