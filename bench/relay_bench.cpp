// Relay throughput in server mode: the wall time for a client's stream, "Root /sink" and
// MIB MiB after it, to reach a sink program, from three kinds of standard input. Each source
// is fed directly: a feeder process writes 1 MiB at a time into a pipe or a socket pair, or a
// regular file is opened as standard input. Side by side, for each source:
//   pathvane   source -> pathvane server -> (pipe) -> sink
//   cat        source -> cat -> pipe -> sink              one extra relay
//   no-relay   source -> sink                             the floor
// Prints one line per measurement: the source, the configuration and the median in seconds.
//
//   relay_bench PATHVANE SINK [MIB] [ROUNDS]
//
// PATHVANE must have been built with a table that routes the root "/sink" to SINK.
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

const char root_line[] = "Root /sink\n";
constexpr std::size_t chunk = 1 << 20;
char buffer[chunk];
long long data_bytes = 0; // after the Root line
int file_fd = -1;         // the prepared file, already unlinked

enum Source { pipe_source, socket_source, file_source };
enum Relay { through_pathvane, through_cat, no_relay };
const char *const source_names[] = {"pipe", "socketpair", "file"};
const char *const relay_names[] = {"pathvane", "cat", "no-relay"};

[[noreturn]] void die(const std::string &what) {
    std::fprintf(stderr, "relay_bench: %s\n", what.c_str());
    std::exit(1);
}

[[noreturn]] void die_errno(const char *what) {
    die(std::string(what) + ": " + std::strerror(errno));
}

long long now_ns() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000000000LL + ts.tv_nsec;
}

bool write_all(int fd, const char *data, std::size_t count) {
    while (count > 0) {
        ssize_t n = write(fd, data, count);
        if (n == -1 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        count -= static_cast<std::size_t>(n);
    }
    return true;
}

// Writes the whole stream into `fd`: the Root line on its own, as a client sends it, then the
// data 1 MiB at a time.
bool write_stream(int fd) {
    if (!write_all(fd, root_line, sizeof root_line - 1))
        return false;
    for (long long left = data_bytes; left > 0;) {
        std::size_t n = static_cast<std::size_t>(std::min<long long>(left, chunk));
        if (!write_all(fd, buffer, n))
            return false;
        left -= static_cast<long long>(n);
    }
    return true;
}

struct Child {
    pid_t pid;
    const char *name;
};

// Every descriptor of the driver is close-on-exec, so a child holds only its 0, 1 and 2.
Child spawn(const char *path, const char *argv0, const char *arg, int in, int out) {
    pid_t pid = fork();
    if (pid == -1)
        die_errno("fork");
    if (pid == 0) {
        signal(SIGPIPE, SIG_DFL);
        if (dup2(in, STDIN_FILENO) == -1 || (out != -1 && dup2(out, STDOUT_FILENO) == -1))
            _exit(126);
        char *argv[] = {const_cast<char *>(argv0), const_cast<char *>(arg), nullptr};
        execv(path, argv);
        _exit(127);
    }
    return {pid, path};
}

// A feeder process writing the stream into `out`; `in`, the other end, is closed in it.
Child feed(int in, int out) {
    pid_t pid = fork();
    if (pid == -1)
        die_errno("fork");
    if (pid == 0) {
        close(in);
        _exit(write_stream(out) ? 0 : 1);
    }
    close(out);
    return {pid, "feeder"};
}

// Seconds from the start of the source until the last stage has ended.
double measure(Source source, Relay relay, const char *pathvane, const char *sink) {
    long long started = now_ns();
    std::vector<Child> children;
    int in = file_fd;
    if (source == file_source) {
        if (lseek(file_fd, 0, SEEK_SET) == -1)
            die_errno("lseek");
    } else {
        int ends[2];
        if (source == pipe_source ? pipe2(ends, O_CLOEXEC) == -1
                                  : socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) == -1)
            die_errno(source_names[source]);
        children.push_back(feed(ends[0], ends[1]));
        in = ends[0];
    }
    if (relay == through_pathvane) {
        children.push_back(spawn(pathvane, "cvs", "server", in, -1));
    } else if (relay == through_cat) {
        int ends[2];
        if (pipe2(ends, O_CLOEXEC) == -1)
            die_errno("pipe");
        children.push_back(spawn("/bin/cat", "cat", nullptr, in, ends[1]));
        close(ends[1]);
        children.push_back(spawn(sink, "sink", nullptr, ends[0], -1));
        close(ends[0]);
    } else {
        children.push_back(spawn(sink, "sink", nullptr, in, -1));
    }
    if (in != file_fd)
        close(in);
    std::string failed; // every child that failed: the feeder's EPIPE alone hides the cause
    for (const Child &child : children) {
        int status = 0;
        while (waitpid(child.pid, &status, 0) == -1)
            if (errno != EINTR)
                die_errno("waitpid");
        if (WIFEXITED(status) && WEXITSTATUS(status) == 0)
            continue;
        failed += std::string(failed.empty() ? "" : "; ") + child.name +
                  (WIFEXITED(status) ? " exited with status " + std::to_string(WEXITSTATUS(status))
                                     : " was killed by signal " + std::to_string(WTERMSIG(status)));
    }
    double seconds = static_cast<double>(now_ns() - started) / 1e9;
    if (!failed.empty())
        die(std::string(source_names[source]) + " " + relay_names[relay] + ": " + failed);
    return seconds;
}

// The file source, in a temporary directory: unlinked at once, so that nothing is left behind.
void prepare_file() {
    const char *dir = std::getenv("TMPDIR");
    std::string path =
        std::string(dir != nullptr && *dir != '\0' ? dir : "/tmp") + "/relay_bench.XXXXXX";
    file_fd = mkostemp(path.data(), O_CLOEXEC);
    if (file_fd == -1)
        die_errno(path.c_str());
    unlink(path.c_str());
    // Written back before the first run, so that no run pays for the write-back.
    if (!write_stream(file_fd) || fsync(file_fd) == -1)
        die_errno("writing the file source");
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

} // namespace

int main(int argc, char *argv[]) {
    if (argc < 3 || argc > 5) {
        std::fprintf(stderr, "usage: relay_bench PATHVANE SINK [MIB] [ROUNDS]\n");
        return 2;
    }
    long long mib = argc > 3 ? std::atoll(argv[3]) : 512;
    int rounds = argc > 4 ? std::atoi(argv[4]) : 7;
    if (mib <= 0 || rounds <= 0)
        die("MIB and ROUNDS must be positive");
    data_bytes = mib << 20;
    // Whatever path a byte takes, the sink gets the same stream, the Root line included.
    setenv("SINK_BYTES",
           std::to_string(data_bytes + static_cast<long long>(sizeof root_line) - 1).c_str(), 1);
    signal(SIGPIPE, SIG_IGN);
    std::memset(buffer, 'x', sizeof buffer); // real pages, not the shared zero page
    prepare_file();

    std::vector<double> times[3][3];
    // Interleaved, every other round backwards, so that the machine's noise and any drift fall
    // on all of them alike.
    for (int round = 0; round < rounds; ++round) {
        for (int i = 0; i < 9; ++i) {
            int at = round % 2 == 0 ? i : 8 - i;
            Source source = static_cast<Source>(at / 3);
            Relay relay = static_cast<Relay>(at % 3);
            times[source][relay].push_back(measure(source, relay, argv[1], argv[2]));
        }
    }
    for (int source = 0; source < 3; ++source)
        for (int relay = 0; relay < 3; ++relay)
            std::printf("%s %s %.4f\n", source_names[source], relay_names[relay],
                        median(times[source][relay]));
    return 0;
}
