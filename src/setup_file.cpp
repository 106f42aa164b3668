#include "setup_file.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace pathvane {

namespace {

// Whether a failure to open or read a file of the setup says that there is no such file to use.
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

} // namespace

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
            has_read_ = true;
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
            ++lines_;
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
            ++lines_;
            return Result::line;
        }
    }
}

namespace {

// Sixteen bytes, compared and counted at once where the machine can (SSE2, NEON), with the
// compiler's vector types rather than one machine's intrinsics.
using Bytes16 = unsigned char __attribute__((vector_size(16)));

// The sum of the eight bytes of `lanes`.
std::uint64_t sum_bytes(std::uint64_t lanes) noexcept {
    std::uint64_t pairs = (lanes & 0x00ff00ff00ff00ff) + ((lanes >> 8) & 0x00ff00ff00ff00ff);
    return (pairs * 0x0001000100010001) >> 48;
}

// The newline bytes among `size` bytes at `bytes`, where a group is looked at exactly.
std::size_t count_newlines(const char *bytes, std::size_t size) noexcept {
    // Eight bytes at a time: a byte of the word is zero where the byte was a newline, and each
    // zero byte adds one to its lane of `lanes`, which can take 255 words before it is summed.
    constexpr std::uint64_t ones = 0x0101010101010101;
    constexpr std::uint64_t low7 = 0x7f7f7f7f7f7f7f7f;
    std::size_t count = 0;
    std::size_t at = 0;
    while (size - at >= 8) {
        std::size_t words = std::min<std::size_t>((size - at) / 8, 255);
        std::uint64_t lanes = 0;
        for (std::size_t end = at + words * 8; at < end; at += 8) {
            std::uint64_t word;
            std::memcpy(&word, bytes + at, 8);
            word ^= ones * '\n';
            // The high bit of each byte of `nonzero` is set where that byte of `word` is not 0.
            std::uint64_t nonzero = ((word & low7) + low7) | word;
            lanes += (~nonzero >> 7) & ones;
        }
        count += sum_bytes(lanes);
    }
    for (; at < size; ++at)
        count += bytes[at] == '\n' ? 1 : 0;
    return count;
}

// Bytes passed over a group at a time, and looked at exactly where a group may hold a hit.
constexpr std::size_t group_size = 1024;

// Passes over the whole groups at `bytes` that hold no `mark` and no start of `piece` (taken
// by its first and last bytes, which is enough to rule a start out), adding their newlines to
// `newlines`; stops before a group that may hold either, or where fewer than a group and the
// piece are left. Returns the bytes passed over.
std::size_t pass_over(const char *bytes, std::size_t size, std::string_view piece, char mark,
                      std::size_t &newlines) noexcept {
    // Vectors are built in place, never passed by value: some ABIs pass them differently.
    const std::size_t last = piece.size() - 1;
    Bytes16 newline, marked, first, final;
    std::memset(&newline, '\n', sizeof newline);
    std::memset(&marked, mark, sizeof marked);
    std::memset(&first, piece.front(), sizeof first);
    std::memset(&final, piece.back(), sizeof final);
    std::size_t at = 0;
    for (; size - at >= group_size + last; at += group_size) {
        Bytes16 counts{};
        Bytes16 hits{};
        for (std::size_t step = at; step < at + group_size; step += 16) {
            Bytes16 here, there;
            std::memcpy(&here, bytes + step, sizeof here);
            std::memcpy(&there, bytes + step + last, sizeof there);
            counts -= static_cast<Bytes16>(here == newline); // a lane is -1 where true
            hits |= static_cast<Bytes16>(here == marked) |
                    (static_cast<Bytes16>(here == first) & static_cast<Bytes16>(there == final));
        }
        std::uint64_t words[2];
        std::memcpy(words, &hits, sizeof words);
        if ((words[0] | words[1]) != 0)
            break;
        std::memcpy(words, &counts, sizeof words);
        newlines += sum_bytes(words[0]) + sum_bytes(words[1]);
    }
    return at;
}

} // namespace

const char *LineReader::find_holding(std::size_t &from, std::string_view piece,
                                     char mark) noexcept {
    for (;;) {
        from += pass_over(buf_ + from, end_ - from, piece, mark, lines_);
        // Exactly, within one group (or what is left).
        const char *group = buf_ + from;
        std::size_t size = std::min(end_ - from, group_size);
        auto *marked = static_cast<const char *>(std::memchr(group, mark, size));
        // A piece that starts after the mark is found later, if at all.
        std::size_t reach = std::min(
            end_ - from, (marked != nullptr ? static_cast<std::size_t>(marked - group) : size) +
                             piece.size() - 1);
        auto *found = static_cast<const char *>(::memmem(group, reach, piece.data(), piece.size()));
        if (found != nullptr)
            return found;
        if (marked != nullptr)
            return marked;
        lines_ += count_newlines(group, size);
        from += size;
        if (from == end_)
            return nullptr;
    }
}

std::size_t LineReader::line_start(std::size_t at) const noexcept {
    while (at > start_ && buf_[at - 1] != '\n')
        --at;
    return at;
}

LineReader::Result LineReader::next_holding(std::span<char> &line, std::string_view piece,
                                            char mark) noexcept {
    if (piece.empty())
        return next(line);
    for (;;) {
        if (error_ != 0)
            return Result::error;
        // Newlines before `from` are counted in lines_.
        std::size_t from = start_;
        if (const char *hit = start_ == end_ ? nullptr : find_holding(from, piece, mark)) {
            std::size_t begin = line_start(static_cast<std::size_t>(hit - buf_));
            if (begin > from)
                lines_ += count_newlines(buf_ + from, begin - from);
            start_ = begin;
            scanned_ = 0;
            return next(line);
        }
        // No whole line here holds either, and every newline is counted; the last line may
        // hold one once more of it is read.
        start_ = line_start(end_);
        scanned_ = 0;
        if (eof_ || !fill()) {
            if (error_ != 0)
                return Result::error;
            start_ = end_; // a last line without newline, which holds neither
            return Result::end;
        }
    }
}

SetupFile::SetupFile(const char *path, int failure_status)
    : path_(path), failure_status_(failure_status), fd_(::open(path, O_RDONLY | O_CLOEXEC)),
      reader_(fd_.get()) {
    if (!fd_)
        fail_unless_missing(errno);
}

void SetupFile::fail_unless_missing(int error) {
    if (!means_no_file(error))
        fail_on_file(path_, error, failure_status_);
    missing_ = error;
}

bool SetupFile::next(std::span<char> &line, std::string_view piece, char mark) {
    if (!fd_)
        return false;
    switch (reader_.next_holding(line, piece, mark)) {
    case LineReader::Result::line:
        return true;
    case LineReader::Result::end:
        return false;
    case LineReader::Result::error:
        // Only before the first byte can a failure say that there is no file (a directory):
        // lines may have been passed over unseen.
        if (reader_.has_read())
            fail_on_file(path_, reader_.error(), failure_status_);
        fail_unless_missing(reader_.error());
        return false;
    }
    return false;
}

} // namespace pathvane
