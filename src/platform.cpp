#include "platform.h"

#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/types.h>
#if defined(__FreeBSD__)
#include <sys/sysctl.h>
#endif

#include <cerrno>
#include <climits>
#include <ctime>
#include <err.h>
#include <fcntl.h>
#include <unistd.h>

namespace pathvane {

Pages &Pages::operator=(Pages &&other) noexcept {
    if (this != &other) {
        reset();
        data_ = other.data_;
        size_ = other.size_;
        other.data_ = nullptr;
    }
    return *this;
}

bool Pages::allocate(std::size_t size) noexcept {
    reset();
    void *data = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (data == MAP_FAILED)
        return false;
    data_ = static_cast<char *>(data);
    size_ = size;
    return true;
}

void Pages::reset() noexcept {
    if (data_ != nullptr)
        (void)::munmap(data_, size_);
    data_ = nullptr;
}

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

long elapsed_ms(const timespec &start, const timespec &current) noexcept {
    long seconds = static_cast<long>(current.tv_sec - start.tv_sec);
    long micros = (current.tv_nsec / 1000) - (start.tv_nsec / 1000);
    if (micros < 0) {
        --seconds;
        micros += 1000000;
    }
    return seconds * 1000 + micros / 1000;
}

timespec monotonic_now() {
    timespec now{};
    if (::clock_gettime(CLOCK_MONOTONIC, &now) == -1)
        err(1, "clock_gettime");
    return now;
}

void fail_on_file(const char *path, int error, int status) {
    errno = error;
    err(status, "%s", path);
}

void open_standard_descriptors() {
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF)
            continue;
        // The lowest free number is `fd`: every one below it is open by now.
        if (::open("/dev/null", O_RDWR) == -1)
            err(1, "/dev/null");
    }
}

bool is_socket(int fd) noexcept {
    struct stat st {};
    return ::fstat(fd, &st) == 0 && S_ISSOCK(st.st_mode);
}

namespace {

// For what(1): how this build finds the file it runs from.
asm(".ident \"@(#)pathvane: finds the file it runs from "
#if defined(__linux__)
    "through /proc/self/exe"
#elif defined(__FreeBSD__)
    "through sysctl KERN_PROC_PATHNAME"
#else
    "by its installed path only"
#endif
    "\"");

// The running executable, looked at through the kernel: 0 on success, as stat(2). A port to
// another system says here how its kernel names the file a process runs from.
int stat_own_executable(struct stat *st) noexcept {
#if defined(__linux__)
    return ::stat("/proc/self/exe", st);
#elif defined(__FreeBSD__)
    int name[] = {CTL_KERN, KERN_PROC, KERN_PROC_PATHNAME, -1};
    char path[PATH_MAX];
    std::size_t length = sizeof path;
    if (::sysctl(name, 4, path, &length, nullptr, 0) == -1)
        return -1;
    return ::stat(path, st);
#else
    (void)st;
    return -1;
#endif
}

} // namespace

bool is_own_executable(const char *path, const char *installed) noexcept {
    struct stat program {};
    struct stat self {};
    if (::stat(path, &program) == -1)
        return false;
    if (stat_own_executable(&self) == -1 && ::stat(installed, &self) == -1)
        return false;
    return program.st_dev == self.st_dev && program.st_ino == self.st_ino;
}

} // namespace pathvane
