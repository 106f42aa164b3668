// The memory a command holds: its anonymous resident memory at its peak, read from
// /proc/PID/smaps_rollup just before the command replaces itself (execve) or ends
// (exit_group), and the peak resident size the kernel reports, in KiB. Linux on x86-64 only:
// it stops the command at every system call with ptrace.
//
//   rss_probe FEED command [argument ...]      prints "anonymous-KiB maxrss-KiB"
//
// With FEED > 0 the command's standard input is a pipe into which the probe writes the line
// "Root /tiny", then zeros up to FEED bytes, from a thread of its own.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/ptrace.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/user.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

long anonymous_kib(pid_t pid) {
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%d/smaps_rollup", pid);
    FILE *in = std::fopen(path, "r");
    long kib = 0;
    char line[256];
    while (in != nullptr && std::fgets(line, sizeof line, in) != nullptr)
        if (std::sscanf(line, "Anonymous: %ld kB", &kib) == 1)
            break;
    if (in != nullptr)
        std::fclose(in);
    return kib;
}

void feed(int fd, long long bytes) {
    static char zeros[1 << 16];
    const char root[] = "Root /tiny\n";
    if (write(fd, root, sizeof root - 1) > 0) {
        for (long long sent = sizeof root - 1; sent < bytes;) {
            ssize_t n = write(fd, zeros, sizeof zeros);
            if (n <= 0)
                break;
            sent += n;
        }
    }
    close(fd);
}

} // namespace

int main(int argc, char *argv[]) {
    if (argc < 3)
        return 2;
    long long bytes = std::atoll(argv[1]);
    int in[2];
    if (pipe(in) != 0)
        return 2;
    signal(SIGPIPE, SIG_IGN);
    pid_t pid = fork();
    if (pid == 0) {
        if (bytes > 0)
            dup2(in[0], 0);
        close(in[0]);
        close(in[1]);
        ptrace(PTRACE_TRACEME, 0, nullptr, nullptr);
        raise(SIGSTOP);
        execv(argv[2], argv + 2);
        _exit(127);
    }
    close(in[0]);
    int status = 0;
    waitpid(pid, &status, 0); // stopped before its exec
    ptrace(PTRACE_SETOPTIONS, pid, nullptr, PTRACE_O_TRACESYSGOOD | PTRACE_O_EXITKILL);
    std::thread feeder;
    if (bytes > 0)
        feeder = std::thread(feed, in[1], bytes);
    else
        close(in[1]);

    long peak = 0;
    int execs = 0;
    bool entering = true;
    bool ended = false;
    rusage usage{};
    for (;;) {
        if (ptrace(PTRACE_SYSCALL, pid, nullptr, nullptr) == -1)
            break;
        if (wait4(pid, &status, 0, &usage) != pid || WIFEXITED(status) || WIFSIGNALED(status)) {
            ended = true;
            break;
        }
        if (!WIFSTOPPED(status) || WSTOPSIG(status) != (SIGTRAP | 0x80))
            continue;
        if (entering) {
            user_regs_struct regs{};
            ptrace(PTRACE_GETREGS, pid, nullptr, &regs);
            // The first execve is the probe's own, starting the command.
            if ((regs.orig_rax == SYS_execve && execs++ > 0) || regs.orig_rax == SYS_exit_group) {
                long kib = anonymous_kib(pid);
                peak = kib > peak ? kib : peak;
                if (regs.orig_rax == SYS_execve)
                    ptrace(PTRACE_DETACH, pid, nullptr, nullptr);
            }
        }
        entering = !entering;
    }
    if (feeder.joinable())
        feeder.join();
    while (!ended && wait4(pid, &status, 0, &usage) == pid)
        ended = WIFEXITED(status) || WIFSIGNALED(status);
    std::printf("%ld %ld\n", peak, usage.ru_maxrss);
    return 0;
}
