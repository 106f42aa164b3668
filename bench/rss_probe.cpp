// The memory a command holds: its anonymous resident memory at its peak, read from
// /proc/PID/smaps_rollup just before the command replaces itself (execve) or ends
// (exit_group), and the peak resident size the kernel reports, in KiB. Linux on x86-64 only:
// it stops the command at every system call with ptrace.
//
//   rss_probe FEED command [argument ...]
//
// prints "anonymous-KiB maxrss-KiB descriptors pipes list": with FEED > 0 the command's
// standard input is a pipe into which the probe writes the line "Root /tiny", then zeros up to
// FEED bytes, from a thread of its own, and half way through it counts the command's open
// descriptors, those of them that are pipes (but for the standard output and error that the
// probe passes on, whatever they are), and lists them ("1,2"); without, "- - -".
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <string>
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

// The command's open descriptors, as counted by feed().
int descriptors = -1;
int pipes = -1;
std::string passed_on[2]; // what the probe's own standard output and error are

std::string target_of(const std::string &link) {
    char target[256];
    ssize_t n = readlink(link.c_str(), target, sizeof target);
    return std::string(target, n > 0 ? static_cast<std::size_t>(n) : 0);
}
std::string descriptor_list = "-";

void count_descriptors(pid_t pid) {
    std::string dir = "/proc/" + std::to_string(pid) + "/fd";
    DIR *fds = opendir(dir.c_str());
    if (fds == nullptr)
        return;
    descriptors = pipes = 0;
    descriptor_list.clear();
    while (dirent *entry = readdir(fds)) {
        if (entry->d_name[0] == '.')
            continue;
        std::string target = target_of(dir + "/" + entry->d_name);
        ++descriptors;
        if (target.rfind("pipe:", 0) == 0 && target != passed_on[0] && target != passed_on[1])
            ++pipes;
        if (!descriptor_list.empty())
            descriptor_list += ',';
        descriptor_list += entry->d_name;
    }
    closedir(fds);
}

// Half way through, the command's program has long been reading its input.
void feed(int fd, long long bytes, pid_t pid) {
    static char zeros[1 << 16];
    const char root[] = "Root /tiny\n";
    if (write(fd, root, sizeof root - 1) > 0) {
        bool counted = false;
        for (long long sent = sizeof root - 1; sent < bytes;) {
            if (!counted && sent >= bytes / 2) {
                count_descriptors(pid);
                counted = true;
            }
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
    passed_on[0] = target_of("/proc/self/fd/1");
    passed_on[1] = target_of("/proc/self/fd/2");
    pid_t pid = fork();
    if (pid == 0) {
        if (bytes > 0)
            dup2(in[0], 0);
        // Nothing but 0, 1 and 2, as a server's connection leaves it.
        close_range(3, ~0U, 0);
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
        feeder = std::thread(feed, in[1], bytes, pid);
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
    if (descriptors == -1)
        std::printf("%ld %ld - - -\n", peak, usage.ru_maxrss);
    else
        std::printf("%ld %ld %d %d %s\n", peak, usage.ru_maxrss, descriptors, pipes,
                    descriptor_list.c_str());
    return 0;
}
