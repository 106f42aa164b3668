#include "server_mode.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <err.h>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <strings.h> // explicit_bzero, on the BSDs
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace pathvane {

namespace {

// st_blksize of `fd`, or 0 when fstat fails.
std::uint32_t block_size(int fd) noexcept {
    struct stat st {};
    if (::fstat(fd, &st) == -1)
        return 0;
    return static_cast<std::uint32_t>(st.st_blksize);
}

// Waits, without a time limit, for one of `fds` to be ready, again after EINTR.
void wait_for(pollfd *fds, nfds_t count) {
    while (::poll(fds, count, -1) == -1)
        if (errno != EINTR)
            err(1, "poll");
}

enum class Ready { input, room, reader_gone };

// Waits until standard input can be read or the pipe has no reader left. Without the second,
// a program that ends (or never starts) while the client waits for its answer would leave
// both sides waiting for ever.
Ready wait_for_input(int pipe_fd) {
    for (;;) {
        pollfd fds[2] = {{STDIN_FILENO, POLLIN, 0}, {pipe_fd, 0, 0}};
        wait_for(fds, 2);
        if ((fds[1].revents & (POLLERR | POLLHUP)) != 0)
            return Ready::reader_gone;
        if (fds[0].revents != 0)
            return Ready::input;
    }
}

// Waits until the pipe has room or no reader left.
Ready wait_for_room(int pipe_fd) {
    pollfd out{pipe_fd, POLLOUT, 0};
    wait_for(&out, 1);
    return (out.revents & (POLLERR | POLLHUP)) != 0 ? Ready::reader_gone : Ready::room;
}

enum class Written { all, reader_gone, failed };

// Writes all of `data`, again after each partial write, adding to `moved` what is written.
Written write_all(int fd, const char *data, std::size_t count, std::uint64_t &moved) {
    while (count > 0) {
        ssize_t n = ::write(fd, data, count);
        if (n == -1) {
            if (errno == EINTR)
                continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                (void)wait_for_room(fd); // the write then tells whether the reader has gone
                continue;
            }
            return errno == EPIPE ? Written::reader_gone : Written::failed;
        }
        data += n;
        count -= static_cast<std::size_t>(n);
        moved += static_cast<std::uint64_t>(n);
    }
    return Written::all;
}

// The size of the read/write relay's buffer: no smaller than 64 KiB, so that a large transfer
// takes few system calls, nor than the block size of either side.
std::size_t relay_buffer_size(int pipe_fd) noexcept {
    return std::max({block_size(STDIN_FILENO), block_size(pipe_fd), std::uint32_t{65536}});
}

// Copies standard input into `pipe_fd` through `buffer` of `size` bytes until the input ends
// or the pipe has no reader left.
void copy_through(char *buffer, std::size_t size, int pipe_fd, std::uint64_t &moved) {
    for (;;) {
        if (wait_for_input(pipe_fd) == Ready::reader_gone)
            return;
        ssize_t n = ::read(STDIN_FILENO, buffer, size);
        if (n == 0)
            return;
        if (n == -1) {
            // A client may hand over a non-blocking descriptor; poll waits for it.
            if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)
                continue;
            end_input_or_fail(errno, STDIN_FILENO);
            return;
        }
        Written written = write_all(pipe_fd, buffer, static_cast<std::size_t>(n), moved);
        if (written == Written::reader_gone)
            return;
        if (written == Written::failed)
            errx(1, "parent: write");
    }
}

// Copies standard input into `pipe_fd` by read and write until the input ends or the pipe
// has no reader left: the portable way, and the one for inputs that splice refuses.
void relay_by_copy(int pipe_fd, std::uint64_t &moved) {
    std::size_t size = relay_buffer_size(pipe_fd);
    CString buffer(static_cast<char *>(std::malloc(size)));
    if (!buffer)
        err(1, "optio"); // kept byte for byte: callers and logs know it so
    copy_through(buffer.get(), size, pipe_fd, moved);
    // A password server's client may have sent its password here: free(3) keeps it in the heap.
    ::explicit_bzero(buffer.get(), size);
}

#if defined(__linux__)
enum class Taken { more, end };

// Takes what the socket on standard input holds, without waiting, into the pipe. TCP's splice(2)
// stops not only at the end of the stream but also at a byte of urgent data, with the stream
// going on behind it: it returns 0 there (EAGAIN where the socket does not block), and again
// for as long as the byte is there. read(2) passes the byte over, as the program does where it
// reads the connection itself, and tells the end from the mark; looking without taking would not.
Taken take_waiting(int pipe_fd, std::uint64_t &moved) {
    char buffer[16384];
    ssize_t n;
    do
        n = ::recv(STDIN_FILENO, buffer, sizeof buffer, MSG_DONTWAIT);
    while (n == -1 && errno == EINTR);
    if (n == -1 && (errno == EAGAIN || errno == EWOULDBLOCK))
        return Taken::more; // nothing, or the urgent byte alone: the rest is still to come
    if (n == -1)
        end_input_or_fail(errno, STDIN_FILENO);
    if (n <= 0)
        return Taken::end;
    Written written = write_all(pipe_fd, buffer, static_cast<std::size_t>(n), moved);
    ::explicit_bzero(buffer, static_cast<std::size_t>(n)); // a password server's, perhaps
    if (written == Written::failed)
        errx(1, "parent: write");
    return written == Written::all ? Taken::more : Taken::end;
}

// Whether the socket on standard input has urgent data for its next byte: sockatmark(3), but
// with its answer set before the kernel writes it, which valgrind's memcheck would otherwise
// take for uninitialised memory handed to the kernel.
bool at_urgent_mark() noexcept {
    int at_mark = 0;
    return ::ioctl(STDIN_FILENO, SIOCATMARK, &at_mark) == 0 && at_mark != 0;
}

enum class Spliced { done, refused };

// Moves standard input into `pipe_fd` inside the kernel, without copying it through this
// process: a pipe, a socket or a file. Refused (before any byte has moved) for inputs that
// splice cannot read, such as /dev/null or a terminal.
Spliced relay_by_splice(int pipe_fd, std::uint64_t &moved) {
    const bool socket = is_socket(STDIN_FILENO);
    const std::uint64_t replayed = moved;
    for (;;) {
        if (wait_for_input(pipe_fd) == Ready::reader_gone)
            return Spliced::done;
        ssize_t n =
            ::splice(STDIN_FILENO, nullptr, pipe_fd, nullptr, std::size_t{1} << 20, SPLICE_F_MOVE);
        if (n > 0) {
            moved += static_cast<std::uint64_t>(n);
            continue;
        }
        if (n == 0) {
            if (socket && take_waiting(pipe_fd, moved) == Taken::more)
                continue;
            return Spliced::done;
        }
        switch (errno) {
        case EINTR:
            continue;
        case EAGAIN:
            // A non-blocking input makes the splice non-blocking at both ends: the input had
            // nothing yet, or the program's pipe is full. Waiting for the input alone would spin
            // on the second for as long as the program is slow to read.
            if (wait_for_room(pipe_fd) == Ready::reader_gone)
                return Spliced::done;
            // A socket's splice says EAGAIN also where its next byte is urgent data.
            if (socket && at_urgent_mark() && take_waiting(pipe_fd, moved) == Taken::end)
                return Spliced::done;
            continue;
        case EPIPE:
            return Spliced::done;
        case EINVAL:
        case ENOSYS:
            if (moved == replayed)
                return Spliced::refused;
            break;
        }
        end_input_or_fail(errno, STDIN_FILENO);
        return Spliced::done;
    }
}
#endif

// Copies standard input into `pipe_fd` until the input ends or the pipe has no reader left.
void relay(int pipe_fd, std::uint64_t &moved) {
#if defined(__linux__)
    if (relay_by_splice(pipe_fd, moved) == Spliced::done)
        return;
#endif
    relay_by_copy(pipe_fd, moved);
}

// Server mode's own dispositions, set before the program starts: SIGPIPE ignored, since an
// EPIPE already ends the relay and the program's status must not be lost to the signal, and
// SIGCHLD at its default, since with SIGCHLD ignored the kernel would reap the program before
// its status could be read. Returns the signals that the program must get at their default:
// SIGCHLD, and SIGPIPE where pathvane was started with it at its default.
sigset_t take_server_signals() noexcept {
    sigset_t to_default;
    sigemptyset(&to_default);
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    struct sigaction before {};
    if (::sigaction(SIGPIPE, &ignore, &before) == 0 && before.sa_handler != SIG_IGN)
        sigaddset(&to_default, SIGPIPE);
    struct sigaction by_default {};
    by_default.sa_handler = SIG_DFL;
    sigemptyset(&by_default.sa_mask);
    (void)::sigaction(SIGCHLD, &by_default, nullptr);
    sigaddset(&to_default, SIGCHLD);
    return to_default;
}

// Starts `program` with the signals in `to_default` at their default, and the mask and every
// other disposition as they are, and `input` as its standard input (pathvane's own where it is
// -1). Then, whether the program started or not, `started`. posix_spawn reports one error for
// the dup2 and the exec: "child: exec" stands for both.
pid_t spawn(const char *program, char *const argv[], int input, const sigset_t &to_default,
            OnStart started) {
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    int error = posix_spawn_file_actions_init(&actions);
    if (error == 0)
        error = posix_spawnattr_init(&attributes);
    if (error == 0 && input != -1)
        error = posix_spawn_file_actions_adddup2(&actions, input, STDIN_FILENO);
    if (error == 0)
        error = posix_spawnattr_setsigdefault(&attributes, &to_default);
    if (error == 0)
        error = posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF);
    const char *failed = "posix_spawn";
    pid_t child = -1;
    if (error == 0) {
        error = ::posix_spawn(&child, program, &actions, &attributes, argv, environ);
        failed = "child: exec";
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attributes);
    }
    started.notify();
    if (error != 0) {
        errno = error;
        err(1, "%s", failed);
    }
    return child;
}

// Waits for the program to end; its status, as pathvane ends with it.
SessionEnd wait_for_program(pid_t child) {
    int status = 0;
    while (::waitpid(child, &status, 0) == -1)
        if (errno != EINTR)
            err(1, "watipid"); // kept byte for byte: callers and logs know it so
    SessionEnd end;
    end.status = WIFEXITED(status) ? WEXITSTATUS(status) : 1;
    end.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    return end;
}

} // namespace

SessionEnd run_relayed(const char *program, char *const argv[], Pages data, std::size_t count,
                       bool connection_failed, OnStart started) {
    const sigset_t to_default = take_server_signals();
    // The pipe keeps its default size: a larger one moved a pipe's or a socket's stream no
    // faster, and would draw on the per-user pipe budget that every session of a shared cvs
    // account, and cvs's own pipes, share.
    // Both ends close on exec: the program gets the read end as its standard input only (dup2
    // clears the flag there), so that neither it nor what it starts holds another reader of the
    // client's stream, or a writer that would keep its input from ever ending.
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) == -1) {
        const int error = errno;
        started.notify(); // the route record, all the same
        errno = error;
        err(1, "pipe");
    }
    Fd read_end(ends[0]);
    Fd write_end(ends[1]);
    pid_t child = spawn(program, argv, read_end.get(), to_default, started);

    (void)read_end.close();
    std::uint64_t moved = 0;
    Written replayed = write_all(write_end.get(), data.get(), count, moved);
    if (replayed == Written::failed) {
        int error = errno;
        // The format is kept as callers and logs know it, but for the buffer's address: under
        // inetd, standard error is the connection of a client that nobody has authenticated.
        errx(1, "parent: write: buf(), buflen(%d) %d - %s", static_cast<int>(count), error,
             std::strerror(error));
    }
    // A session may last for hours, and the opening data is no longer needed. Pages that go
    // back to the system are cleared before they are used again, but not at once: the data may
    // hold a password server's password, so it goes now.
    if (count > 0)
        ::explicit_bzero(data.get(), count);
    data.reset();
    if (replayed == Written::all && !connection_failed)
        relay(write_end.get(), moved);

    (void)write_end.close(); // the child now sees the end of its input
    SessionEnd end = wait_for_program(child);
    end.bytes = moved;
    return end;
}

SessionEnd run_in_place(const char *program, char *const argv[], OnStart started) {
    const sigset_t to_default = take_server_signals();
    pid_t child = spawn(program, argv, -1, to_default, started);
    // As in a direct launch, the program is then the stream's only reader. (Standard output and
    // error stay open here until the program ends: under inetd they are the same connection.)
    (void)::close(STDIN_FILENO);
    return wait_for_program(child);
}

} // namespace pathvane
