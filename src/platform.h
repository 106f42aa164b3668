// The platform layer (platform.cpp): what the C library lacks or spells differently from one
// system to another. Descriptor ownership, line reading (there is no fgetln everywhere), text
// built without printf or allocation (nor strvis everywhere), the files of the setup, the
// running executable and the C-locale character classes.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <span>
#include <string_view>

namespace pathvane {

// Character classes of the POSIX locale; bytes above 0x7F belong to none of them.
constexpr bool is_space(char c) noexcept {
    const auto b = static_cast<unsigned char>(c);
    return b == ' ' || (b >= '\t' && b <= '\r');
}
constexpr bool is_blank(char c) noexcept {
    return c == ' ' || c == '\t';
}
constexpr bool is_alpha(char c) noexcept {
    const auto b = static_cast<unsigned char>(c);
    return (b >= 'A' && b <= 'Z') || (b >= 'a' && b <= 'z');
}
constexpr bool is_alnum(char c) noexcept {
    const auto b = static_cast<unsigned char>(c);
    return is_alpha(c) || (b >= '0' && b <= '9');
}

// The bytes of `text` from `from` on, at most `count` of them; `from` must not pass the end.
// (string_view::substr checks that again, and its check pulls the C++ runtime's exception
// support, with a static initialiser, into the program.)
constexpr std::string_view slice(std::string_view text, std::size_t from,
                                 std::size_t count = std::string_view::npos) noexcept {
    std::size_t left = text.size() - from;
    return {text.data() + from, count < left ? count : left};
}

// The bytes of `text` before its first `c`; all of them where it holds none.
inline std::string_view cut_at(std::string_view text, char c) noexcept {
    const void *found = text.empty() ? nullptr : std::memchr(text.data(), c, text.size());
    return found == nullptr
               ? text
               : slice(text, 0,
                       static_cast<std::size_t>(static_cast<const char *>(found) - text.data()));
}

// A string from malloc, released with free.
struct FreeDeleter {
    void operator()(void *p) const noexcept { std::free(p); }
};
using CString = std::unique_ptr<char, FreeDeleter>;

// Pages of memory of their own, given back to the system when released: for a buffer needed
// only at the start of a session that may last for hours, which free(3) would keep in the heap.
class Pages {
  public:
    Pages() noexcept = default;
    Pages(Pages &&other) noexcept : data_(other.data_), size_(other.size_) {
        other.data_ = nullptr;
    }
    Pages &operator=(Pages &&other) noexcept;
    Pages(const Pages &) = delete;
    Pages &operator=(const Pages &) = delete;
    ~Pages() { reset(); }

    // Maps `size` bytes, zeroed; false (with errno set) when the system has none to give.
    bool allocate(std::size_t size) noexcept;
    void reset() noexcept;
    char *get() const noexcept { return data_; }

  private:
    char *data_ = nullptr;
    std::size_t size_ = 0;
};

// Owns one file descriptor; move-only.
class Fd {
  public:
    Fd() noexcept = default;
    explicit Fd(int fd) noexcept : fd_(fd) {}
    Fd(Fd &&other) noexcept : fd_(other.release()) {}
    Fd &operator=(Fd &&other) noexcept;
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    ~Fd() { close(); }

    int get() const noexcept { return fd_; }
    explicit operator bool() const noexcept { return fd_ >= 0; }
    int release() noexcept;
    // Closes now and returns what close(2) returned (0 when nothing was open).
    int close() noexcept;

  private:
    int fd_ = -1;
};

// Text built in place, in a buffer of the caller's: no allocation, and what does not fit is cut
// off. It formats numbers itself: printf's first call in a process costs more than the rest of
// a line of text.
class Text {
  public:
    Text(char *buffer, std::size_t capacity) noexcept : buffer_(buffer), capacity_(capacity) {}
    Text(const Text &) = delete;
    Text &operator=(const Text &) = delete;

    Text &operator<<(std::string_view text) noexcept;
    Text &operator<<(char c) noexcept { return *this << std::string_view(&c, 1); }
    Text &operator<<(unsigned long long number) noexcept;
    // Adds `value` between double quotes, escaped so that any byte of it reads back
    // unambiguously and it can neither end the line nor the quotes early: '"' and '\' after a
    // '\', and every byte outside printable ASCII as '\' and three octal digits (strvis(3) does
    // much the same where the C library has it). Past `limit` bytes it is cut short, with
    // "..." after its closing quote.
    Text &quote(std::string_view value, std::size_t limit) noexcept;

    std::string_view view() const noexcept { return {buffer_, size_}; }

  private:
    char *buffer_;
    std::size_t capacity_;
    std::size_t size_ = 0;
};

// How quoted text shows the byte `c`, written to `out`: itself; after a '\' where it is `quote`
// or '\'; or, outside printable ASCII, as '\' and three octal digits. Returns its length.
std::size_t escape_byte(char c, char quote, char (&out)[4]) noexcept;

// A Text with a buffer of `Size` bytes of its own.
template <std::size_t Size> class FixedText : public Text {
  public:
    FixedText() noexcept : Text(storage_, Size) {}

  private:
    char storage_[Size];
};

// CLOCK_MONOTONIC now; fatal ("clock_gettime") where the system has no such clock.
timespec monotonic_now();
// The milliseconds from `start` to `current`.
long elapsed_ms(const timespec &start, const timespec &current) noexcept;

// Ends the run: "name: path: reason" for `error`, with `status`.
[[noreturn]] void fail_on_file(const char *path, int error, int status = 1);

// Opens /dev/null, for reading and writing, as each of descriptors 0, 1 and 2 that is closed,
// as daemons do, so that no descriptor opened later takes its number. Fatal ("/dev/null")
// where it cannot be opened.
void open_standard_descriptors();

// Whether `path` is the very file this process runs from (the same device and inode, whatever
// names either is reached by). False where the running executable cannot be found.
bool is_own_executable(const char *path) noexcept;

// Reads a descriptor line by line, like fgetln: each line comes with its newline, if it has
// one, and without a terminating NUL. Lines may be of any length and hold any byte.
class LineReader {
  public:
    enum class Result { line, end, error };

    explicit LineReader(int fd) noexcept : fd_(fd) {}
    LineReader(const LineReader &) = delete;
    LineReader &operator=(const LineReader &) = delete;
    ~LineReader();

    // On Result::line, `line` holds the bytes, writable and valid until the next call. On
    // Result::error, error() tells why (ENOMEM when the line did not fit in memory).
    Result next(std::span<char> &line) noexcept;
    // The next line that holds `piece` or the byte `mark`, passing over the lines before it
    // without handing them out, as grep does; every line where `piece` is empty.
    Result next_holding(std::span<char> &line, std::string_view piece, char mark) noexcept;
    int error() const noexcept { return error_; }
    // Whether any byte has been read: a failure after one is the machine's, not a sign that
    // there is no file.
    bool has_read() const noexcept { return has_read_; }
    // The number, from 1, of the line last handed out; lines passed over count.
    std::size_t line_number() const noexcept { return lines_; }

  private:
    bool fill() noexcept;
    // The first byte of the first `piece` or `mark` from `from` on, counting the newlines it
    // passes in lines_ and moving `from` up to where it stopped; null where the buffer holds
    // none.
    const char *find_holding(std::size_t &from, std::string_view piece, char mark) noexcept;
    // Where the line that holds the byte at `at` (or ends there) begins, from start_ on.
    std::size_t line_start(std::size_t at) const noexcept;

    int fd_;
    char *buf_ = nullptr;
    std::size_t cap_ = 0;
    std::size_t start_ = 0;   // first byte of the next line
    std::size_t scanned_ = 0; // bytes from start_ known to hold no newline
    std::size_t end_ = 0;     // end of the bytes read
    std::size_t lines_ = 0;
    bool has_read_ = false;
    bool eof_ = false;
    int error_ = 0;
};

// A file of the setup (the table, CVS/Root), read line by line. A file that is missing,
// unreadable or in the wrong place, as an administrator or user left it, reads as no lines.
// Any other failure is the machine's (descriptors or memory running out, an I/O error), and so
// is any failure once a byte has been read: it is fatal, as fail_on_file with `failure_status`,
// and must not quietly choose another program.
class SetupFile {
  public:
    explicit SetupFile(const char *path, int failure_status = 1);

    // The next line, as LineReader hands it out; false at the end, or where there is no file.
    // With a `piece`, the next line that holds it or `mark`, as LineReader::next_holding.
    bool next(std::span<char> &line, std::string_view piece = {}, char mark = '\0');
    std::size_t line_number() const noexcept { return reader_.line_number(); }
    // Why there was no file to read (an errno value), once next() has found none; else 0.
    int missing() const noexcept { return missing_; }

  private:
    // Where `error` says that there is no file, notes it; otherwise the run ends.
    void fail_unless_missing(int error);

    const char *path_;
    int failure_status_;
    Fd fd_;
    LineReader reader_;
    int missing_ = 0;
};

} // namespace pathvane
