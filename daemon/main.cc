#include <stdio.h>
#include <string.h>

#include "daemon/Daemon.h"

int main(int argc, char** argv) {
    if (argc >= 2 && strcmp(argv[1], "--version") == 0) {
        printf("VELLORT version %s\n", Daemon::version);
        return 0;
    }
    // --foreground: no fork, for a service manager (the systemd unit).
    const bool foreground = argc >= 2 && strcmp(argv[1], "--foreground") == 0;
    Daemon daemon(foreground);
    return 0;
}
