#include "server_mode.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <err.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace pathvane {

namespace {

// Reports a failure of the child before its exec, as err(3) would, and ends the child. Only
// async-signal-safe calls but strerror, which is safe here: the process has a single thread,
// so no lock can be held across the fork.
[[noreturn]] void child_fail(const char *label) noexcept {
    const char *reason = std::strerror(errno);
    const char *parts[] = {program_name(), ": ", label, ": ", reason, "\n"};
    char line[1024];
    std::size_t length = 0;
    for (const char *part : parts) {
        std::size_t n = std::min(std::strlen(part), sizeof line - 1 - length);
        std::memcpy(line + length, part, n); // NOLINT(bugprone-not-null-terminated-result)
        length += n;
    }
    if (line[length - 1] != '\n')
        line[length++] = '\n';
    (void)!::write(STDERR_FILENO, line, length);
    ::_exit(1);
}

[[noreturn]] void run_child(const char *program, char *const argv[], int read_end, int write_end) {
    if (::close(write_end) == -1)
        child_fail("child: close");
    // The read end also stays open under its own number.
    if (::dup2(read_end, STDIN_FILENO) == -1)
        child_fail("child: dup2");
    ::execv(program, argv);
    child_fail("child: exec");
}

enum class Written { all, reader_gone, failed };

// Writes all of `data`, again after each partial write.
Written write_all(int fd, const char *data, std::size_t count) noexcept {
    while (count > 0) {
        ssize_t n = ::write(fd, data, count);
        if (n == -1) {
            if (errno == EINTR)
                continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                pollfd out{fd, POLLOUT, 0};
                (void)::poll(&out, 1, -1);
                continue;
            }
            return errno == EPIPE ? Written::reader_gone : Written::failed;
        }
        data += n;
        count -= static_cast<std::size_t>(n);
    }
    return Written::all;
}

// st_blksize of `fd`, or 0 when fstat fails.
std::uint32_t block_size(int fd) noexcept {
    struct stat st {};
    if (::fstat(fd, &st) == -1)
        return 0;
    return static_cast<std::uint32_t>(st.st_blksize);
}

enum class Ready { input, reader_gone };

// Waits until standard input can be read or the pipe has no reader left. Without the second,
// a program that ends (or never starts) while the client waits for its answer would leave
// both sides waiting for ever.
Ready wait_for_input(int pipe_fd) {
    for (;;) {
        pollfd fds[2] = {{STDIN_FILENO, POLLIN, 0}, {pipe_fd, 0, 0}};
        if (::poll(fds, 2, -1) == -1) {
            if (errno == EINTR)
                continue;
            err(1, "poll");
        }
        if ((fds[1].revents & (POLLERR | POLLHUP)) != 0)
            return Ready::reader_gone;
        if (fds[0].revents != 0)
            return Ready::input;
    }
}

// Copies standard input into `pipe_fd` until the input ends or the pipe has no reader left.
void relay(int pipe_fd) {
    std::size_t size =
        std::max({block_size(STDIN_FILENO), block_size(pipe_fd), std::uint32_t{512}});
    CString buffer(static_cast<char *>(std::malloc(size)));
    if (!buffer)
        err(1, "optio"); // kept byte for byte: callers and logs know it so
    for (;;) {
        if (wait_for_input(pipe_fd) == Ready::reader_gone)
            return;
        ssize_t n = ::read(STDIN_FILENO, buffer.get(), size);
        if (n == 0)
            return;
        if (n == -1) {
            // A client may hand over a non-blocking descriptor; poll waits for it.
            if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)
                continue;
            errx(1, "parent: read");
        }
        Written written = write_all(pipe_fd, buffer.get(), static_cast<std::size_t>(n));
        if (written == Written::reader_gone)
            return;
        if (written == Written::failed)
            errx(1, "parent: write");
    }
}

} // namespace

int run_relayed(const char *program, char *const argv[], const char *data, std::size_t count) {
    int ends[2];
    if (::pipe(ends) == -1)
        err(1, "pipe");
    Fd read_end(ends[0]);
    Fd write_end(ends[1]);
    pid_t child = ::fork();
    if (child == -1)
        err(1, "fork");
    if (child == 0)
        run_child(program, argv, read_end.get(), write_end.get());

    (void)read_end.close();
    Written replayed = write_all(write_end.get(), data, count);
    if (replayed == Written::failed) {
        int error = errno;
        // The format, pointer included, is kept byte for byte: callers and logs know it so.
        errx(1, "parent: write: buf(%p), buflen(%d) %d - %s", static_cast<const void *>(data),
             static_cast<int>(count), error, std::strerror(error));
    }
    if (replayed == Written::all)
        relay(write_end.get());

    (void)write_end.close(); // the child now sees the end of its input
    int status = 0;
    while (::waitpid(child, &status, 0) == -1)
        if (errno != EINTR)
            err(1, "watipid"); // kept byte for byte: callers and logs know it so
    return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}

} // namespace pathvane
