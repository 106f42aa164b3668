// The platform layer (platform.cpp): what differs from one system to another or wraps the C
// library. Descriptor and memory ownership, the monotonic clock, failing on a file, the
// standard descriptors and the running executable.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <ctime>
#include <memory>

namespace pathvane {

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

// Whether `fd` is a socket.
bool is_socket(int fd) noexcept;

// Whether `path` is the very file this process runs from (the same device and inode, whatever
// names either is reached by). Where the system cannot say which file that is (a Linux without
// /proc, a system that this is not ported to), `installed`, the path that this build installs
// the program at, stands in for it. False where neither can be found.
bool is_own_executable(const char *path, const char *installed) noexcept;

} // namespace pathvane
