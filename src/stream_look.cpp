#include "server_mode.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <strings.h> // explicit_bzero, on the BSDs
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

// Builds without the look (or without it on pipes) relay those streams as a system without
// the calls would.
#ifndef PATHVANE_LOOK_IN_PLACE
#define PATHVANE_LOOK_IN_PLACE 1
#endif
#ifndef PATHVANE_LOOK_IN_PIPES
#define PATHVANE_LOOK_IN_PIPES 1
#endif

namespace pathvane {

namespace {

// For what(1): which client streams this build looks at in place; it relays the others.
asm(".ident \"@(#)pathvane: looks in place at "
#if !PATHVANE_LOOK_IN_PLACE
    "no stream"
#elif PATHVANE_LOOK_IN_PIPES && defined(__linux__)
    "sockets, files and pipes"
#else
    "sockets and files"
#endif
    "\"");

// A look that failed part-way: it leaves the whole buffer wiped, as what it had copied may hold
// a password, and the reads that follow write over only as much as they take.
StreamLook failed(char *buffer, std::size_t limit) noexcept {
    ::explicit_bzero(buffer, limit);
    return {};
}

// A stream socket: the bytes stay queued for the next reader.
StreamLook look_at_socket(int fd, char *buffer, std::size_t limit) noexcept {
    int type = 0;
    socklen_t length = sizeof type;
    if (::getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &length) == -1 || type != SOCK_STREAM)
        return {};
    ssize_t n;
    do
        n = ::recv(fd, buffer, limit, MSG_PEEK | MSG_DONTWAIT);
    while (n == -1 && errno == EINTR);
    if (n == -1)
        return {};
    // Nothing at all, after poll reported the socket readable: the client has closed it.
    return {n == 0 ? StreamLook::Seen::all : StreamLook::Seen::start, static_cast<std::size_t>(n)};
}

// A regular file, from the offset that its next reader starts at, which stays where it is.
StreamLook look_at_file(int fd, char *buffer, std::size_t limit) noexcept {
    off_t offset = ::lseek(fd, 0, SEEK_CUR);
    if (offset == -1)
        return {};
    std::size_t count = 0;
    while (count < limit) {
        ssize_t n = ::pread(fd, buffer + count, limit - count, offset + static_cast<off_t>(count));
        if (n == -1 && errno == EINTR)
            continue;
        if (n == -1)
            return failed(buffer, limit);
        if (n == 0)
            return {StreamLook::Seen::all, count};
        count += static_cast<std::size_t>(n);
    }
    return {StreamLook::Seen::start, count};
}

#if defined(__linux__)
// A pipe: tee(2) duplicates what it holds into a pipe of pathvane's own, which is then read.
StreamLook look_at_pipe(int fd, char *buffer, std::size_t limit) noexcept {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) == -1)
        return {};
    Fd copy_read(ends[0]);
    Fd copy_write(ends[1]);
    ssize_t n;
    do
        n = ::tee(fd, copy_write.get(), limit, SPLICE_F_NONBLOCK);
    while (n == -1 && errno == EINTR);
    if (n == -1)
        return {};
    // Nothing at all, after poll reported the pipe readable: its writer has closed it.
    if (n == 0)
        return {StreamLook::Seen::all, 0};
    std::size_t count = 0;
    while (count < static_cast<std::size_t>(n)) {
        ssize_t got = ::read(copy_read.get(), buffer + count, static_cast<std::size_t>(n) - count);
        if (got == -1 && errno == EINTR)
            continue;
        if (got <= 0)
            return failed(buffer, limit);
        count += static_cast<std::size_t>(got);
    }
    return {StreamLook::Seen::start, count};
}
#endif

} // namespace

StreamLook look_at_stream(int fd, char *buffer, std::size_t limit) noexcept {
    if (!PATHVANE_LOOK_IN_PLACE)
        return {};
    // The program will read the descriptor itself, and would meet EAGAIN where the relay gives
    // it a blocking pipe; its mode is shared with the caller and is not pathvane's to change.
    int flags = ::fcntl(fd, F_GETFL);
    if (flags == -1 || (flags & O_NONBLOCK) != 0)
        return {};
    struct stat st {};
    if (::fstat(fd, &st) == -1)
        return {};
    if (S_ISSOCK(st.st_mode))
        return look_at_socket(fd, buffer, limit);
    if (S_ISREG(st.st_mode))
        return look_at_file(fd, buffer, limit);
#if defined(__linux__)
    if (PATHVANE_LOOK_IN_PIPES && S_ISFIFO(st.st_mode))
        return look_at_pipe(fd, buffer, limit);
#endif
    return {};
}

} // namespace pathvane
