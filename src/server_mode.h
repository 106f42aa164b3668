// Server mode (root_request.cpp, auth_request.cpp, stream_look.cpp, opening_data.cpp,
// session_launch.cpp): the request that names the client's root (the Root request of
// `cvs server`, the authentication request of `cvs pserver`), its opening data, and the program
// run on the client's own stream or behind a pipe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "platform.h"

namespace pathvane {

// What the opening data tells so far of the request that names the client's root.
struct RootRequest {
    // none: the bytes can no longer begin such a request, whatever follows.
    enum class Outcome { found, empty, none, need_more };
    Outcome outcome = Outcome::need_more;
    CString path; // with found only
};

// Looks for a complete Root request in `data`, the bytes read so far, from `offset` on; the
// first NUL byte ends what can be seen. `offset` is the caller's, starts at 0 and only moves
// forwards over lines passed over, so that passing data that has grown gives the same answer
// as passing it whole. Fatal only when the path cannot be copied.
RootRequest scan_root_request(std::string_view data, std::size_t &offset);

// Looks for the repository in the authentication request that a password server's client
// sends first: "BEGIN AUTH REQUEST" or "BEGIN VERIFICATION REQUEST", then the repository, each
// on a line of its own. Lines are read as cvs reads them: a line's text ends at its first
// newline or NUL byte, and the next line begins after the newline; a carriage return is text.
// The answer is none as soon as the first line can be neither, and found or empty once the
// repository's line is complete. `offset` is kept as for scan_root_request. Fatal only when the
// path cannot be copied.
RootRequest scan_auth_request(std::string_view data, std::size_t &offset);

// A found request with a copy of `path`. Fatal ("strndup") where it cannot be copied.
RootRequest found_path(std::string_view path);

// One of the two above.
using RequestScan = RootRequest (*)(std::string_view data, std::size_t &offset);

// Where a read or a splice of the client's stream at `fd` failed with `error` (neither EINTR nor
// EAGAIN, which the caller retries): returns where that ends the client's input, and is fatal
// ("parent: read") otherwise. On a socket, whatever the connection reports is the client's end,
// not a failure of the machine: a reset, or TCP giving up with the last error it saw, which
// depends on the network and the system (ETIMEDOUT, ECONNREFUSED from a firewall's reject,
// EHOSTDOWN, ...); only memory or buffers running out are the machine's. On a pipe or a file
// every error is the machine's.
void end_input_or_fail(int error, int fd);

// At most this many bytes of the client's stream are read before the program starts.
inline constexpr std::size_t opening_data_limit = 65536;
// And reading them ends this many milliseconds after it began.
inline constexpr int opening_data_budget_ms = 10000;

// What one look at the start of the client's stream saw, taking none of it.
struct StreamLook {
    // none: nothing, as the stream cannot be looked at (its kind, a non-blocking descriptor, no
    // bytes yet, a failure); start: its first `count` bytes, and more may follow; all: the whole
    // stream, `count` bytes (a file's end, or a socket or a pipe closed with nothing in it).
    enum class Seen { none, start, all };
    Seen seen = Seen::none;
    std::size_t count = 0;
};

// Copies the start of the stream at `fd`, at most `limit` bytes, into `buffer`, leaving it all
// for the next reader, without blocking: a stream socket, a regular file, and a pipe where the
// system can copy what it holds (Linux). A non-blocking descriptor is not looked at.
StreamLook look_at_stream(int fd, char *buffer, std::size_t limit) noexcept;

struct OpeningData {
    // true: the request was settled by a look, and nothing was taken from the client's stream,
    // which the program then reads itself; `buffer` is released and `count` is 0.
    bool in_place = false;
    Pages buffer; // opening_data_limit + 1 bytes: the data, then a NUL
    std::size_t count = 0;
    CString root;       // null when no request named a root
    timespec started{}; // when the reading began (CLOCK_MONOTONIC): the session's start
    // What ended the reading: with `root` null, why no root was seen.
    enum class End { root_request, empty_root, no_request, input_ended, size_limit, time_budget };
    End end = End::input_ended;
    // With input_ended: the input ended by its connection's failure, not its end, and nothing
    // more may be read from it.
    bool connection_failed = false;
};

// Reads the client's stream from `fd`, scanning it with `scan` after each read, until the
// request that names its root is recognised or cannot come, or the input, the size limit or
// the time budget ends. Every byte read stays in the buffer for the replay. Once the first
// bytes have come, it looks at the stream first: where that look settles the request, nothing
// is read (`in_place`). A failure to poll the stream is fatal ("poll"), and one to read it as
// end_input_or_fail says, as in the relay.
OpeningData read_opening_data(int fd, RequestScan scan);

// How a session ended.
struct SessionEnd {
    int status = 0; // pathvane's exit status: the program's, or 1 if a signal ended it
    int signal = 0; // the signal that ended the program, if one did
    // Of the client's stream written into the program's pipe; none where the program read the
    // stream itself.
    std::optional<std::uint64_t> bytes;
};

// What a launch does as soon as it has tried to start the program, whether it started or not:
// the front end sends its route record then, so that the program need not wait for it.
struct OnStart {
    void (*call)(const void *context) noexcept = nullptr;
    const void *context = nullptr;
    void notify() const noexcept {
        if (call != nullptr)
            call(context);
    }
};

// Runs `program` with `argv` and a pipe as its standard input, writes the `count` bytes of
// `data` into the pipe, wipes and releases them (they may hold a password), then, unless the
// client's connection failed while they were read (`connection_failed`), moves standard input
// into it until either side ends, and waits for the program to end. For the time it runs,
// pathvane ignores SIGPIPE and keeps SIGCHLD at its default; the program gets the signal mask and
// dispositions that pathvane was started with, but SIGCHLD at its default.
SessionEnd run_relayed(const char *program, char *const argv[], Pages data, std::size_t count,
                       bool connection_failed, OnStart started);

// Runs `program` with `argv` on pathvane's own standard input, untouched, which pathvane then
// closes, so that the program is the client's only reader, and waits for it to end. Signals as
// for run_relayed.
SessionEnd run_in_place(const char *program, char *const argv[], OnStart started);

} // namespace pathvane
