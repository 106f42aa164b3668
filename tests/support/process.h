// Runs a program as a user would: chosen argv (argv[0] included), environment, directory and
// standard input, fed in timed chunks; collects its output, error output and exit status.
#pragma once

#include <string>
#include <vector>

namespace test {

struct Chunk {
    std::string bytes;
    int delay_ms = 0; // wait this long after the previous chunk before writing this one
    bool urgent = false; // TCP: sent as urgent data (MSG_OOB), whose last byte is out of band
};

// How the input reaches the program: fed in timed chunks through a pipe, a socketpair or a TCP
// connection on the loopback address (as inetd hands one over; tcp_v4_mapped: accepted by an IPv6
// socket, from an IPv4 client), or written whole into a file beforehand (the delays then play no
// part).
enum class Stdin { pipe, socketpair, tcp, tcp_v4_mapped, file, dev_null, closed };

// Whether the pathvane of this build lets its program read a client's stream of this kind
// itself, where one look at its start settles the request (the stream is then "in place");
// otherwise the program reads it through pathvane's relay.
constexpr bool read_in_place(Stdin stream) {
    if (!PATHVANE_LOOK_IN_PLACE)
        return false;
    return stream == Stdin::socketpair || stream == Stdin::tcp || stream == Stdin::tcp_v4_mapped ||
           stream == Stdin::file || (stream == Stdin::pipe && PATHVANE_LOOK_IN_PIPES);
}

struct Invocation {
    std::string program;
    std::vector<std::string> argv; // argv[0] included
    std::vector<std::string> env;  // NAME=value entries; the whole environment
    std::string cwd;               // empty: the test's own
    Stdin stdin_mode = Stdin::pipe;
    std::vector<Chunk> input;
    int close_delay_ms = 0; // wait this long after the last chunk before closing the pipe
    bool ignore_sigpipe = false;
    std::vector<int> ignored_signals; // started with these ignored
    std::vector<int> blocked_signals; // and these blocked
    bool nonblocking_stdin = false;   // hand the program a non-blocking standard input
    bool reset_connection = false;    // Stdin::tcp: end the input with a reset, not a close
    int timeout_ms = 30000;
};

struct Outcome {
    bool exited = false;
    int exit_code = -1;
    int signal = 0; // the signal that ended the program, if one did
    bool timed_out = false;
    std::string out;
    std::string err;
    long long started_ns = 0;      // CLOCK_MONOTONIC just before the program was started
    long long ended_ns = 0;        // and once it had ended
    std::size_t input_written = 0; // bytes the program took before its input was closed
    long long cpu_us = 0;          // user and system time of the program and what it waited for
    bool keepalive = false; // Stdin::tcp: SO_KEEPALIVE was on, on the program's end, at its end
    std::string stdin_id;   // the device and inode of the stream handed over as standard input
};

Outcome run(const Invocation &invocation);

long long monotonic_ns();

} // namespace test
