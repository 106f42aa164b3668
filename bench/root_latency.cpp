// Root latency in server mode: from the client's write of its Root line to the start of the
// program chosen for it, with nothing, 60000 bytes or 1 MiB after the line, for each server
// given (pathvane's builds, a floor that only spawns). Beside them, a plain fork and exec of the
// same program by this benchmark. Each round runs every measurement once, in an order that
// rotates. Prints one line per measurement: its name, the bytes after the Root line (0 for the
// fork and exec) and every round's latency in ms, in the order of the rounds.
//
//   root_latency STAMP_PROGRAM RUNS NAME=SERVER ...
//
// Each SERVER is started as "cvs server" with the client's pipe as its standard input, and
// must start STAMP_PROGRAM for the root "/r".
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

// One server-mode run: the server waits in its poll; the client then writes its Root line and
// `trailing` more bytes in the same write (a large one goes on while pathvane reads).
double through_server(const char *server, std::size_t trailing) {
    int in[2];
    if (pipe(in) != 0)
        die("pipe");
    pid_t pid = fork();
    if (pid == 0) {
        dup2(in[0], 0);
        close(in[0]);
        close(in[1]);
        char *argv[] = {const_cast<char *>("cvs"), const_cast<char *>("server"), nullptr};
        execv(server, argv);
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

struct Measurement {
    std::string name;
    const char *server; // null: the plain fork and exec
    std::size_t trailing;
    std::vector<double> ms;
};

} // namespace

int main(int argc, char *argv[]) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: root_latency STAMP_PROGRAM RUNS NAME=SERVER ...\n");
        return 2;
    }
    const char *stamp = argv[1];
    int runs = std::atoi(argv[2]);
    setenv("STAMP_FILE", stamp_file.c_str(), 1);
    signal(SIGPIPE, SIG_IGN);
    std::vector<Measurement> measurements{{"floor", nullptr, 0, {}}};
    for (int i = 3; i < argc; ++i) {
        const char *equals = std::strchr(argv[i], '=');
        if (equals == nullptr) {
            std::fprintf(stderr, "root_latency: %s: not NAME=SERVER\n", argv[i]);
            return 2;
        }
        for (std::size_t trailing : {std::size_t{0}, std::size_t{60000}, std::size_t{1} << 20})
            measurements.push_back(
                {std::string(argv[i], static_cast<std::size_t>(equals - argv[i])), equals + 1,
                 trailing, std::vector<double>()});
    }
    // Interleaved, in an order that rotates, so that the machine's noise falls on all alike.
    std::size_t count = measurements.size();
    for (int round = 0; round < runs; ++round) {
        for (std::size_t i = 0; i < count; ++i) {
            Measurement &m = measurements[(i + static_cast<std::size_t>(round)) % count];
            m.ms.push_back(m.server == nullptr ? plain_exec(stamp)
                                               : through_server(m.server, m.trailing));
        }
    }
    for (const Measurement &m : measurements) {
        std::printf("%s %zu", m.name.c_str(), m.trailing);
        for (double ms : m.ms)
            std::printf(" %.4f", ms);
        std::printf("\n");
    }
    return 0;
}
