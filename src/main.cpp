#include <syslog.h> // _PATH_LOG, the system log's socket

#include "front_end.h"

int main(int argc, char *argv[]) {
    return pathvane::pathvane_main(argc, argv, {PATHVANE_TABLE, PATHVANE_FALLBACK},
                                   PATHVANE_LOG_SOCKET, PATHVANE_PROGRAM);
}
