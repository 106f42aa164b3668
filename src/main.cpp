#include <syslog.h> // _PATH_LOG, the system log's socket

#include "front_end.h"

namespace {

// For what(1), as in the BSDs' programs: where this build is installed, and where it sends its
// routing records.
[[gnu::used]] constexpr char installed_ident[] = "@(#)pathvane: installed as " PATHVANE_PROGRAM;
#if defined(PATHVANE_LOG_SOCKET)
constexpr const char *log_socket = PATHVANE_LOG_SOCKET;
[[gnu::used]] constexpr char log_socket_ident[] =
    "@(#)pathvane: routing records to " PATHVANE_LOG_SOCKET;
#else
constexpr const char *log_socket = nullptr;
[[gnu::used]] constexpr char log_socket_ident[] = "@(#)pathvane: no routing records";
#endif

} // namespace

int main(int argc, char *argv[]) {
    return pathvane::pathvane_main(argc, argv, {PATHVANE_TABLE, PATHVANE_FALLBACK}, log_socket,
                                   PATHVANE_PROGRAM);
}
