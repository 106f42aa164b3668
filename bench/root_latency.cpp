// Root latency in server mode: from the client's write of its Root line to the start of the
// program chosen for it, with nothing, 60000 bytes or 1 MiB after the line. Side by side, the
// floor: a plain fork and exec of the same program. Prints medians in ms, one per line.
//
//   root_latency PATHVANE STAMP_PROGRAM [RUNS]
//
// PATHVANE must have been built with a table that routes the root "/r" to STAMP_PROGRAM.
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

long long now_ns() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000000000LL + ts.tv_nsec;
}

[[noreturn]] void die(const char *what) {
    std::fprintf(stderr, "root_latency: %s: %s\n", what, std::strerror(errno));
    std::exit(1);
}

const std::string stamp_file = "/tmp/pathvane-root-latency.stamp";

long long read_stamp() {
    FILE *in = std::fopen(stamp_file.c_str(), "r");
    long long stamp = 0;
    if (in == nullptr || std::fscanf(in, "%lld", &stamp) != 1)
        die("no stamp");
    std::fclose(in);
    std::remove(stamp_file.c_str());
    return stamp;
}

// One server-mode run: pathvane waits in its poll; the client then writes its Root line and
// `trailing` more bytes in the same write (a large one goes on while pathvane reads).
double through_pathvane(const char *pathvane, std::size_t trailing) {
    int in[2];
    if (pipe(in) != 0)
        die("pipe");
    pid_t pid = fork();
    if (pid == 0) {
        dup2(in[0], 0);
        close(in[0]);
        close(in[1]);
        char *argv[] = {const_cast<char *>("cvs"), const_cast<char *>("server"), nullptr};
        execv(pathvane, argv);
        _exit(127);
    }
    close(in[0]);
    timespec pause{0, 20 * 1000 * 1000};
    nanosleep(&pause, nullptr);
    std::string request = "Root /r\n" + std::string(trailing, 'x');
    long long sent = now_ns();
    // The stamp program reads nothing, so a large write may end in EPIPE: that is fine.
    for (std::size_t at = 0; at < request.size();) {
        ssize_t n = write(in[1], request.data() + at, request.size() - at);
        if (n <= 0)
            break;
        at += static_cast<std::size_t>(n);
    }
    close(in[1]);
    int status = 0;
    waitpid(pid, &status, 0);
    return static_cast<double>(read_stamp() - sent) / 1e6;
}

double plain_exec(const char *program) {
    long long started = now_ns();
    pid_t pid = fork();
    if (pid == 0) {
        char *argv[] = {const_cast<char *>("cvs"), const_cast<char *>("server"), nullptr};
        execv(program, argv);
        _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return static_cast<double>(read_stamp() - started) / 1e6;
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

} // namespace

int main(int argc, char *argv[]) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: root_latency PATHVANE STAMP_PROGRAM [RUNS]\n");
        return 2;
    }
    int runs = argc > 3 ? std::atoi(argv[3]) : 100;
    setenv("STAMP_FILE", stamp_file.c_str(), 1);
    signal(SIGPIPE, SIG_IGN);
    const std::size_t trailing[] = {0, 60000, 1 << 20};
    std::vector<double> floor, latency[3];
    // Interleaved, so that the machine's noise falls on all of them alike.
    for (int i = 0; i < runs; ++i) {
        floor.push_back(plain_exec(argv[2]));
        for (int t = 0; t < 3; ++t)
            latency[t].push_back(through_pathvane(argv[1], trailing[t]));
    }
    // One line each: what was measured, and its median in milliseconds.
    std::printf("floor %.3f\n", median(floor));
    for (int t = 0; t < 3; ++t)
        std::printf("trailing-%zu %.3f\n", trailing[t], median(latency[t]));
    return 0;
}
