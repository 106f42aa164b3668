#include "platform.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <err.h>
#include <fcntl.h>
#include <unistd.h>

namespace pathvane {

Fd &Fd::operator=(Fd &&other) noexcept {
    if (this != &other) {
        close();
        fd_ = other.release();
    }
    return *this;
}

int Fd::release() noexcept {
    int fd = fd_;
    fd_ = -1;
    return fd;
}

int Fd::close() noexcept {
    if (fd_ < 0)
        return 0;
    return ::close(release());
}

const char *program_name() noexcept {
#if defined(__GLIBC__)
    return program_invocation_short_name;
#else
    return getprogname();
#endif
}

bool means_no_file(int error) noexcept {
    switch (error) {
    case ENOENT:
    case ENOTDIR:
    case EACCES:
    case EISDIR:
    case ELOOP:
    case ENAMETOOLONG:
        return true;
    default:
        return false;
    }
}

Fd open_if_present(const char *path) {
    Fd fd(::open(path, O_RDONLY | O_CLOEXEC));
    if (!fd && !means_no_file(errno))
        fail_on_file(path, errno);
    return fd;
}

void fail_on_file(const char *path, int error) {
    errno = error;
    err(1, "%s", path);
}

LineReader::~LineReader() {
    std::free(buf_);
}

// Reads more bytes after end_, first making room; false on end of input or error.
bool LineReader::fill() noexcept {
    if (start_ > 0) {
        std::memmove(buf_, buf_ + start_, end_ - start_);
        end_ -= start_;
        start_ = 0;
    }
    if (end_ == cap_) {
        std::size_t cap = cap_ == 0 ? std::size_t{64} * 1024 : cap_ * 2;
        char *buf = cap < cap_ ? nullptr : static_cast<char *>(std::realloc(buf_, cap));
        if (buf == nullptr) {
            error_ = ENOMEM;
            return false;
        }
        buf_ = buf;
        cap_ = cap;
    }
    for (;;) {
        ssize_t n = ::read(fd_, buf_ + end_, cap_ - end_);
        if (n > 0) {
            end_ += static_cast<std::size_t>(n);
            return true;
        }
        if (n == 0) {
            eof_ = true;
            return false;
        }
        if (errno != EINTR) {
            error_ = errno;
            return false;
        }
    }
}

LineReader::Result LineReader::next(std::span<char> &line) noexcept {
    for (;;) {
        if (error_ != 0)
            return Result::error;
        std::size_t unscanned = end_ - start_ - scanned_;
        auto *newline =
            unscanned == 0
                ? nullptr
                : static_cast<char *>(std::memchr(buf_ + start_ + scanned_, '\n', unscanned));
        if (newline != nullptr) {
            line = std::span<char>(buf_ + start_, newline + 1);
            start_ = static_cast<std::size_t>(newline + 1 - buf_);
            scanned_ = 0;
            return Result::line;
        }
        scanned_ = end_ - start_;
        if (eof_ || !fill()) {
            if (error_ != 0)
                return Result::error;
            if (start_ == end_)
                return Result::end;
            line = std::span<char>(buf_ + start_, end_ - start_);
            start_ = end_;
            scanned_ = 0;
            return Result::line;
        }
    }
}

} // namespace pathvane
