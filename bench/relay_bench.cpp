// Relay throughput in server mode: the wall time for a client's stream, "Root /sink" and
// MIB MiB after it, to reach a sink program, from three kinds of standard input. Each source
// is fed directly: a feeder process writes 1 MiB at a time into a pipe or a socket pair, or a
// regular file is opened as standard input. For each source, each RELAY given:
//   NAME=SERVER   source -> SERVER, started as "cvs server" -> sink   (pathvane, or a floor)
//   cat           source -> cat -> pipe -> sink                        one extra relay
//   no-relay      source -> sink                                       the floor
// and the CPU time of the relay alone (user and system): what wait4 reports for a server
// includes the sink, which it reaps, so the relay's own is read from /proc/PID/schedstat once
// it has ended and before it is reaped (Linux). Prints one line per measurement: the source,
// the relay, the median seconds and the median CPU seconds of the relay alone ("-" with no
// relay).
//
//   relay_bench SINK MIB ROUNDS RELAY ...
//
// Each SERVER must run SINK for the root "/sink", with the stream on its standard input.
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <string>
#include <sys/resource.h>
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
const char *const source_names[] = {"pipe", "socketpair", "file"};

struct Relay {
    enum Kind { server, cat, none } kind;
    std::string name;
    const char *path; // a server's
};

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
    bool relay = false; // the relay of the measurement, whose CPU time is taken
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

long long microseconds(const timeval &time) {
    return time.tv_sec * 1000000LL + time.tv_usec;
}

// The CPU time of the process `pid`, which has ended and is not yet reaped, in microseconds:
// the time the kernel counted it running (user and system), its children never in it.
long long own_cpu(pid_t pid) {
    siginfo_t info{};
    while (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT) == -1)
        if (errno != EINTR)
            die_errno("waitid");
    std::string path = "/proc/" + std::to_string(pid) + "/schedstat";
    FILE *in = std::fopen(path.c_str(), "r");
    long long ns = -1;
    if (in == nullptr || std::fscanf(in, "%lld", &ns) != 1)
        die(path + ": no run time");
    std::fclose(in);
    return ns / 1000;
}

struct Run {
    double seconds;
    double cpu; // of the relay alone
};

// Seconds from the start of the source until the last stage has ended.
Run measure(Source source, const Relay &relay, const char *sink) {
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
    if (relay.kind == Relay::server) {
        children.push_back(spawn(relay.path, "cvs", "server", in, -1));
        children.back().relay = true;
    } else if (relay.kind == Relay::cat) {
        int ends[2];
        if (pipe2(ends, O_CLOEXEC) == -1)
            die_errno("pipe");
        children.push_back(spawn("/bin/cat", "cat", nullptr, in, ends[1]));
        children.back().relay = true;
        close(ends[1]);
        children.push_back(spawn(sink, "sink", nullptr, ends[0], -1));
        close(ends[0]);
    } else {
        children.push_back(spawn(sink, "sink", nullptr, in, -1));
    }
    if (in != file_fd)
        close(in);
    std::string failed; // every child that failed: the feeder's EPIPE alone hides the cause
    long long cpu = 0;
    for (const Child &child : children) {
        if (child.relay)
            cpu = own_cpu(child.pid);
        int status = 0;
        rusage usage{};
        while (wait4(child.pid, &status, 0, &usage) == -1)
            if (errno != EINTR)
                die_errno("wait4");
        // cat has no child: there wait4 reports its own time, which must be the same.
        long long reaped = microseconds(usage.ru_utime) + microseconds(usage.ru_stime);
        if (relay.kind == Relay::cat && child.relay && std::llabs(reaped - cpu) > 20 + cpu / 100)
            die("cat: " + std::to_string(cpu) + " us in schedstat, " + std::to_string(reaped) +
                " us from wait4");
        if (WIFEXITED(status) && WEXITSTATUS(status) == 0)
            continue;
        failed += std::string(failed.empty() ? "" : "; ") + child.name +
                  (WIFEXITED(status) ? " exited with status " + std::to_string(WEXITSTATUS(status))
                                     : " was killed by signal " + std::to_string(WTERMSIG(status)));
    }
    double seconds = static_cast<double>(now_ns() - started) / 1e9;
    if (!failed.empty())
        die(std::string(source_names[source]) + " " + relay.name + ": " + failed);
    return {seconds, static_cast<double>(cpu) / 1e6};
}

// The file source, in a temporary directory: unlinked at once, so that nothing is left behind.
void prepare_file() {
    const char *dir = std::getenv("TMPDIR");
    std::string top = dir != nullptr && *dir != '\0' ? dir : "/tmp";
    std::string path = top + "/relay_bench.XXXXXX";
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
    if (argc < 5) {
        std::fprintf(stderr, "usage: relay_bench SINK MIB ROUNDS RELAY ...\n");
        return 2;
    }
    const char *sink = argv[1];
    long long mib = std::atoll(argv[2]);
    int rounds = std::atoi(argv[3]);
    if (mib <= 0 || rounds <= 0)
        die("MIB and ROUNDS must be positive");
    std::vector<Relay> relays;
    for (int i = 4; i < argc; ++i) {
        const char *equals = std::strchr(argv[i], '=');
        if (equals != nullptr)
            relays.push_back({Relay::server,
                              std::string(argv[i], static_cast<std::size_t>(equals - argv[i])),
                              equals + 1});
        else if (std::strcmp(argv[i], "cat") == 0 || std::strcmp(argv[i], "no-relay") == 0)
            relays.push_back({argv[i][0] == 'c' ? Relay::cat : Relay::none, argv[i], nullptr});
        else
            die(std::string(argv[i]) + ": not NAME=SERVER, cat or no-relay");
    }
    data_bytes = mib << 20;
    // Whatever path a byte takes, the sink gets the same stream, the Root line included.
    setenv("SINK_BYTES",
           std::to_string(data_bytes + static_cast<long long>(sizeof root_line) - 1).c_str(), 1);
    signal(SIGPIPE, SIG_IGN);
    std::memset(buffer, 'x', sizeof buffer); // real pages, not the shared zero page
    prepare_file();

    std::size_t count = 3 * relays.size();
    std::vector<std::vector<Run>> runs(count);
    // Interleaved, every other round backwards, so that the machine's noise and any drift fall
    // on all of them alike.
    for (int round = 0; round < rounds; ++round) {
        for (std::size_t i = 0; i < count; ++i) {
            std::size_t at = round % 2 == 0 ? i : count - 1 - i;
            runs[at].push_back(
                measure(static_cast<Source>(at / relays.size()), relays[at % relays.size()], sink));
        }
    }
    for (std::size_t at = 0; at < count; ++at) {
        const Relay &relay = relays[at % relays.size()];
        std::vector<double> seconds, cpu;
        for (const Run &run : runs[at]) {
            seconds.push_back(run.seconds);
            cpu.push_back(run.cpu);
        }
        std::printf("%s %s %.4f", source_names[at / relays.size()], relay.name.c_str(),
                    median(seconds));
        if (relay.kind == Relay::none)
            std::printf(" -\n");
        else
            std::printf(" %.6f\n", median(cpu));
    }
    return 0;
}
