// Reading the files of the setup (setup_file.cpp): line by line, passing over the lines that
// cannot apply, and which failures to read them are fatal.
#pragma once

#include <cstddef>
#include <span>
#include <string_view>

#include "platform.h"

namespace pathvane {

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
