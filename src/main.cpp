#include <syslog.h> // _PATH_LOG, the system log's socket

#include "front_end.h"

// For what(1), as in the BSDs' programs: where this build is installed, the paths it holds, and
// where it sends its routing records. The strings go into the .comment section, which no linker
// collects away.
asm(".ident \"@(#)pathvane: installed as " PATHVANE_PROGRAM "\"");
asm(".ident \"@(#)pathvane: table " PATHVANE_TABLE ", fallback " PATHVANE_FALLBACK "\"");
#if defined(PATHVANE_LOG_SOCKET)
asm(".ident \"@(#)pathvane: routing records to " PATHVANE_LOG_SOCKET "\"");
#else
asm(".ident \"@(#)pathvane: no routing records\"");
#endif

namespace {

#if defined(PATHVANE_LOG_SOCKET)
constexpr const char *log_socket = PATHVANE_LOG_SOCKET;
#else
constexpr const char *log_socket = nullptr;
#endif

} // namespace

int main(int argc, char *argv[]) {
    return pathvane::pathvane_main(argc, argv, {PATHVANE_TABLE, PATHVANE_FALLBACK}, log_socket,
                                   PATHVANE_PROGRAM);
}
