// The front end (front_end.cpp, routing_record.cpp): where the root of a CVS command comes
// from, the launch of its program, and the record of that choice in the system log.
#pragma once

#include <ctime>

#include "platform.h"
#include "program_table.h"
#include "server_mode.h"

namespace pathvane {

// What cvs itself makes of its command line before it runs a command: the global options, read
// as its getopt_long reads them (no permutation; "--" ends them), and the command word.
struct CommandLine {
    const char *root = nullptr; // the argument of the last -d; null without one
    // What cvs would run, where it reads its root from its client, not from its command line:
    //  - server: the command word (or argv[0]) is "server", and neither -d nor an option that
    //    only prints help or the version stands before it;
    //  - pserver: the command word is "pserver", and no such option stands before it (the
    //    password server serves the repository its client names, whatever -d says).
    enum class Mode { direct, server, pserver };
    Mode mode = Mode::direct;
};

CommandLine scan_command_line(int argc, char *const argv[]) noexcept;

// The first line of the file at `path` with trailing whitespace removed (its first byte is
// always kept); null when the file is missing, unreadable or empty. Any other failure (the
// machine's: descriptors or memory running out, an I/O error) is fatal.
CString read_root_file(const char *path);

// Where the root comes from; server and auth_request: from the client, in the request that
// `cvs server` or `cvs pserver` reads first.
enum class RootSource { option, server, auth_request, root_file, environment, none };

// Whether the root is the client's, read from its stream: a session of `cvs server` or
// `cvs pserver`.
constexpr bool from_client(RootSource source) noexcept {
    return source == RootSource::server || source == RootSource::auth_request;
}

// The root and where it came from. In server and pserver mode the root is still to be read
// from the client (`root` is null); with RootSource::none there is no root.
struct RootFinding {
    RootSource source = RootSource::none;
    const char *root = nullptr;
    CString owned; // holds `root` when it was read from the root file
};

RootFinding find_root(int argc, char *const argv[]);

// What a run chose, and from what, for its record.
struct Route {
    RootSource source = RootSource::none; // server, auth_request: the root is the client's
    const char *root = nullptr;           // as given; null where there is none
    const Program *program = nullptr;
    OpeningData::End opening_end = OpeningData::End::input_ended; // in server mode
    bool in_place = false; // in server mode: the program reads the client's stream itself
};

// Sends the record of `route` to the system log's socket at `log_socket`, for the auth
// facility: at info for a client's session, at debug for a direct launch (every local command).
// Nothing at all where `log_socket` is null, nothing listens there, or the socket would block: a
// record never holds up a command, never writes to stdout or stderr, and leaves no descriptor open.
void record_route(const char *log_socket, const Route &route) noexcept;
// Likewise, at info, the end of a session whose root came from `source` (server or
// auth_request), begun at `started` (CLOCK_MONOTONIC).
void record_session_end(const char *log_socket, RootSource source, const SessionEnd &end,
                        const timespec &started) noexcept;

// The whole run, with the program table that main was built with, the socket of the system
// log that it records each run's routing in (null: no record), and the path that pathvane is
// installed at. Returns an exit status in server and pserver mode only; otherwise it ends by
// exec or err.
int pathvane_main(int argc, char *argv[], const ProgramTable &table, const char *log_socket,
                  const char *installed);

} // namespace pathvane
