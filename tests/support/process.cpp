#include "process.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <stdexcept>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace test {

namespace {

using Clock = std::chrono::steady_clock;

void check(bool ok, const char *what) {
    if (!ok)
        throw std::runtime_error(std::string(what) + ": " + std::strerror(errno));
}

std::vector<char *> pointers(const std::vector<std::string> &strings) {
    std::vector<char *> result;
    for (const std::string &s : strings)
        result.push_back(const_cast<char *>(s.c_str()));
    result.push_back(nullptr);
    return result;
}

void set_nonblocking(int fd) {
    check(fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK) == 0, "fcntl");
}

// A file that holds `input` whole, open for reading at its start; its name is gone already.
int input_file(const std::vector<Chunk> &input) {
    char path[] = "/tmp/pathvane-test-input.XXXXXX";
    int fd = mkostemp(path, O_CLOEXEC);
    check(fd >= 0, "mkostemp");
    unlink(path);
    for (const Chunk &chunk : input)
        for (std::size_t at = 0; at < chunk.bytes.size();) {
            ssize_t n = write(fd, chunk.bytes.data() + at, chunk.bytes.size() - at);
            check(n > 0, "write");
            at += static_cast<std::size_t>(n);
        }
    check(lseek(fd, 0, SEEK_SET) == 0, "lseek");
    return fd;
}

// A TCP connection on the loopback address: the accepted end in `ends[0]`, the client's in
// `ends[1]`. With `v4_mapped`, the listener is an IPv6 socket at ::ffff:127.0.0.1.
void tcp_connection(int ends[2], bool v4_mapped) {
    int listener = socket(v4_mapped ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    check(listener >= 0, "socket");
    int off = 0;
    check(!v4_mapped || setsockopt(listener, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off) == 0,
          "setsockopt");
    sockaddr_in6 address6{};
    address6.sin6_family = AF_INET6;
    check(inet_pton(AF_INET6, "::ffff:127.0.0.1", &address6.sin6_addr) == 1, "inet_pton");
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sockaddr *bound = v4_mapped ? reinterpret_cast<sockaddr *>(&address6)
                                : reinterpret_cast<sockaddr *>(&address);
    socklen_t length = v4_mapped ? sizeof address6 : sizeof address;
    check(bind(listener, bound, length) == 0 && listen(listener, 1) == 0 &&
              getsockname(listener, bound, &length) == 0,
          "listen");
    address.sin_port = v4_mapped ? address6.sin6_port : address.sin_port;
    ends[1] = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    check(ends[1] >= 0 &&
              connect(ends[1], reinterpret_cast<sockaddr *>(&address), sizeof address) == 0,
          "connect");
    ends[0] = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    check(ends[0] >= 0, "accept");
    close(listener);
}

} // namespace

long long monotonic_ns() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000000000LL + ts.tv_nsec;
}

Outcome run(const Invocation &inv) {
    // Writing into a pipe whose reader has gone must be an EPIPE here, not the end of the test.
    std::signal(SIGPIPE, SIG_IGN);

    int in[2] = {-1, -1}, out[2], err[2];
    const bool tcp = inv.stdin_mode == Stdin::tcp || inv.stdin_mode == Stdin::tcp_v4_mapped;
    const bool fed = inv.stdin_mode == Stdin::pipe || inv.stdin_mode == Stdin::socketpair || tcp;
    // Close-on-exec, so that programs started from other threads do not hold these open.
    if (inv.stdin_mode == Stdin::socketpair)
        check(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, in) == 0, "socketpair");
    else if (inv.stdin_mode == Stdin::pipe)
        check(pipe2(in, O_CLOEXEC) == 0, "pipe");
    else if (tcp)
        tcp_connection(in, inv.stdin_mode == Stdin::tcp_v4_mapped);
    else if (inv.stdin_mode == Stdin::file)
        in[0] = input_file(inv.input);
    check(pipe2(out, O_CLOEXEC) == 0 && pipe2(err, O_CLOEXEC) == 0, "pipe");
    Outcome result;
    if (struct stat st{}; in[0] >= 0 && fstat(in[0], &st) == 0)
        result.stdin_id = std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino);
    std::vector<char *> argv = pointers(inv.argv);
    std::vector<char *> envp = pointers(inv.env);

    result.started_ns = monotonic_ns();
    pid_t pid = fork();
    check(pid >= 0, "fork");
    if (pid == 0) {
        // A group of its own, so that a time-out ends whatever the program has started too.
        setpgid(0, 0);
        std::signal(SIGPIPE, inv.ignore_sigpipe ? SIG_IGN : SIG_DFL);
        for (int sig : inv.ignored_signals)
            std::signal(sig, SIG_IGN);
        sigset_t blocked;
        sigemptyset(&blocked);
        for (int sig : inv.blocked_signals)
            sigaddset(&blocked, sig);
        sigprocmask(SIG_BLOCK, &blocked, nullptr);
        if (in[0] >= 0) {
            dup2(in[0], 0);
            if (inv.nonblocking_stdin)
                fcntl(0, F_SETFL, fcntl(0, F_GETFL) | O_NONBLOCK);
        } else if (inv.stdin_mode == Stdin::dev_null) {
            dup2(open("/dev/null", O_RDONLY), 0);
        } else {
            close(0);
        }
        dup2(out[1], 1);
        dup2(err[1], 2);
        for (int fd = 3; fd < 256; ++fd)
            close(fd);
        if (!inv.cwd.empty() && chdir(inv.cwd.c_str()) != 0)
            _exit(126);
        execve(inv.program.c_str(), argv.data(), envp.data());
        _exit(127);
    }
    setpgid(pid, pid); // as the child does: the group exists whichever of the two runs first
    // The program's end of a connection stays open here too, to read its options at the end.
    if (in[0] >= 0 && !tcp)
        close(in[0]);
    close(out[1]);
    close(err[1]);
    int to_child = in[1];
    if (fed)
        set_nonblocking(to_child);
    if (inv.stdin_mode == Stdin::file) {
        for (const Chunk &chunk : inv.input)
            result.input_written += chunk.bytes.size();
    }

    std::size_t chunk = 0, offset = 0;
    auto due = Clock::now() + std::chrono::milliseconds(inv.input.empty() ? inv.close_delay_ms
                                                                          : inv.input[0].delay_ms);
    const auto deadline = Clock::now() + std::chrono::milliseconds(inv.timeout_ms);
    int open_outputs = 2;
    int fds[2] = {out[0], err[0]};
    std::string *sinks[2] = {&result.out, &result.err};

    int status = 0;
    rusage usage{};
    bool reaped = false;
    while (open_outputs > 0 || to_child >= 0) {
        // With its output closed the program may have ended while its input is still open.
        if (open_outputs == 0 && wait4(pid, &status, WNOHANG, &usage) == pid) {
            reaped = true;
            break;
        }
        auto now = Clock::now();
        if (now >= deadline) {
            kill(-pid, SIGKILL);
            result.timed_out = true;
            break;
        }
        bool input_due = to_child >= 0 && now >= due;
        if (to_child >= 0 && input_due && chunk == inv.input.size()) {
            if (inv.reset_connection) {
                linger reset{1, 0}; // a close that discards the connection: an RST, not a FIN
                check(setsockopt(to_child, SOL_SOCKET, SO_LINGER, &reset, sizeof reset) == 0,
                      "setsockopt");
            }
            close(to_child);
            to_child = -1;
            continue;
        }
        pollfd polls[3];
        nfds_t count = 0;
        for (int i = 0; i < 2; ++i)
            if (fds[i] >= 0)
                polls[count++] = {fds[i], POLLIN, 0};
        if (input_due)
            polls[count++] = {to_child, POLLOUT, 0};
        auto until = to_child >= 0 && !input_due ? std::min(due, deadline) : deadline;
        int wait = static_cast<int>(
            std::chrono::duration_cast<std::chrono::milliseconds>(until - now).count() + 1);
        if (open_outputs == 0)
            wait = std::min(wait, 10);
        int ready = poll(polls, count, wait);
        if (ready < 0 && errno == EINTR)
            continue;
        check(ready >= 0, "poll");
        for (nfds_t p = 0; p < count; ++p) {
            if (polls[p].revents == 0)
                continue;
            if (polls[p].fd == to_child) {
                const std::string &bytes = inv.input[chunk].bytes;
                const char *rest = bytes.data() + offset;
                const std::size_t left = bytes.size() - offset;
                ssize_t n = left == 0                 ? 0
                            : inv.input[chunk].urgent ? send(to_child, rest, left, MSG_OOB)
                                                      : write(to_child, rest, left);
                if (n < 0 && (errno == EAGAIN || errno == EINTR))
                    continue;
                if (n < 0) { // the program closed its input
                    close(to_child);
                    to_child = -1;
                    continue;
                }
                offset += static_cast<std::size_t>(n);
                result.input_written += static_cast<std::size_t>(n);
                if (offset == bytes.size()) {
                    offset = 0;
                    ++chunk;
                    due = Clock::now() + std::chrono::milliseconds(chunk < inv.input.size()
                                                                       ? inv.input[chunk].delay_ms
                                                                       : inv.close_delay_ms);
                }
                continue;
            }
            int i = polls[p].fd == fds[0] ? 0 : 1;
            char buf[65536];
            ssize_t n = read(fds[i], buf, sizeof buf);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0) {
                close(fds[i]);
                fds[i] = -1;
                --open_outputs;
                continue;
            }
            sinks[i]->append(buf, static_cast<std::size_t>(n));
        }
    }
    if (to_child >= 0)
        close(to_child);
    for (int fd : fds)
        if (fd >= 0)
            close(fd);
    while (!reaped && wait4(pid, &status, 0, &usage) < 0)
        check(errno == EINTR, "waitpid");
    result.ended_ns = monotonic_ns();
    if (tcp) {
        int on = 0;
        socklen_t size = sizeof on;
        check(getsockopt(in[0], SOL_SOCKET, SO_KEEPALIVE, &on, &size) == 0, "getsockopt");
        result.keepalive = on != 0;
        close(in[0]);
    }
    for (const timeval &time : {usage.ru_utime, usage.ru_stime})
        result.cpu_us += time.tv_sec * 1000000LL + time.tv_usec;
    if (WIFEXITED(status)) {
        result.exited = true;
        result.exit_code = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        result.signal = WTERMSIG(status);
    }
    return result;
}

} // namespace test
