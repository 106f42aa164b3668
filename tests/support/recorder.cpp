// A stand-in for a CVS program. It records how it was started into the directory named by
// RECORD_DIR: "started" (CLOCK_MONOTONIC at its start, in ns), "program" (its built-in name),
// "pid", "argv" and "environ" (each entry followed by a NUL), "cwd", "fds" (the open descriptors,
// one a line), "signals" (the ignored and the blocked ones), "stdin_id" (the device and inode of
// its standard input, as "dev:ino") and "stdin" (every byte it read).
// RECORD_STDIN=skip leaves standard input unread, RECORD_STDIN=slow reads it 16 KiB at a time
// with a pause of 20 ms after each; RECORD_EXIT=n exits with n; RECORD_SIGNAL=n ends the program
// by signal n.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <initializer_list>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

extern char **environ;

namespace {

const char *record_dir;

void fail(const char *what) {
    std::fprintf(stderr, "recorder: %s: %s\n", what, std::strerror(errno));
    std::_Exit(97);
}

int create(const char *name) {
    char path[4096];
    std::snprintf(path, sizeof path, "%s/%s", record_dir, name);
    int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        fail(path);
    return fd;
}

void write_all(int fd, const void *data, size_t size) {
    const char *p = static_cast<const char *>(data);
    while (size > 0) {
        ssize_t n = write(fd, p, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            fail("write");
        p += n;
        size -= static_cast<size_t>(n);
    }
}

void record_strings(const char *name, char *const *strings, int count) {
    int fd = create(name);
    for (int i = 0; count < 0 ? strings[i] != nullptr : i < count; ++i)
        write_all(fd, strings[i], std::strlen(strings[i]) + 1);
    close(fd);
}

} // namespace

int main(int argc, char *argv[]) {
    timespec started{};
    clock_gettime(CLOCK_MONOTONIC, &started);
    // Look at the descriptors before this program opens any of its own.
    struct stat stdin_stat {};
    const bool stdin_open = fstat(0, &stdin_stat) == 0;
    char fds[4096];
    size_t fds_length = 0;
    for (int fd = 0; fd < 256; ++fd)
        if (fcntl(fd, F_GETFD) != -1)
            fds_length += static_cast<size_t>(
                std::snprintf(fds + fds_length, sizeof fds - fds_length, "%d\n", fd));

    // And at the signals as they came, before anything here changes them.
    char signals[512];
    size_t signals_length = 0;
    sigset_t blocked;
    sigprocmask(SIG_BLOCK, nullptr, &blocked);
    for (const char *kind : {"ignored", "blocked"}) {
        signals_length += static_cast<size_t>(
            std::snprintf(signals + signals_length, sizeof signals - signals_length, "%s", kind));
        for (int sig = 1; sig < 32; ++sig) {
            struct sigaction action {};
            bool listed = kind[0] == 'i' ? sigaction(sig, nullptr, &action) == 0 &&
                                               action.sa_handler == SIG_IGN
                                         : sigismember(&blocked, sig) == 1;
            if (listed)
                signals_length += static_cast<size_t>(std::snprintf(
                    signals + signals_length, sizeof signals - signals_length, " %d", sig));
        }
        signals[signals_length++] = '\n';
    }

    record_dir = std::getenv("RECORD_DIR");
    if (record_dir == nullptr) {
        std::fputs("recorder: RECORD_DIR is not set\n", stderr);
        return 98;
    }
    record_strings("argv", argv, argc);
    record_strings("environ", environ, -1);
    int fd = create("fds");
    write_all(fd, fds, fds_length);
    close(fd);
    fd = create("signals");
    write_all(fd, signals, signals_length);
    close(fd);
    char text[64];
    fd = create("started");
    write_all(fd, text,
              static_cast<size_t>(std::snprintf(text, sizeof text, "%lld",
                                                started.tv_sec * 1000000000LL + started.tv_nsec)));
    close(fd);
    fd = create("pid");
    write_all(fd, text,
              static_cast<size_t>(std::snprintf(text, sizeof text, "%ld", long{getpid()})));
    close(fd);
    if (stdin_open) {
        fd = create("stdin_id");
        write_all(
            fd, text,
            static_cast<size_t>(std::snprintf(text, sizeof text, "%llu:%llu",
                                              static_cast<unsigned long long>(stdin_stat.st_dev),
                                              static_cast<unsigned long long>(stdin_stat.st_ino))));
        close(fd);
    }
    char cwd[4096];
    if (getcwd(cwd, sizeof cwd) == nullptr)
        fail("getcwd");
    fd = create("cwd");
    write_all(fd, cwd, std::strlen(cwd));
    close(fd);

    const char *stdin_mode = std::getenv("RECORD_STDIN");
    if (stdin_mode == nullptr || std::strcmp(stdin_mode, "skip") != 0) {
        const bool slow = stdin_mode != nullptr && std::strcmp(stdin_mode, "slow") == 0;
        fd = create("stdin");
        static char buf[1 << 16];
        for (;;) {
            if (slow)
                usleep(20000);
            ssize_t n = read(0, buf, slow ? 16384 : sizeof buf);
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0)
                fail("read");
            if (n == 0)
                break;
            write_all(fd, buf, static_cast<size_t>(n));
        }
        close(fd);
    }

    // Written last, so that its presence means the whole record is there.
    fd = create("program");
    write_all(fd, RECORDER_NAME, std::strlen(RECORDER_NAME));
    close(fd);

    if (const char *sig = std::getenv("RECORD_SIGNAL")) {
        std::signal(std::atoi(sig), SIG_DFL);
        raise(std::atoi(sig));
    }
    const char *status = std::getenv("RECORD_EXIT");
    return status != nullptr ? std::atoi(status) : 0;
}
