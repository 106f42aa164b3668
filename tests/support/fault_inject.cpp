// A preload library for tests: makes the N-th allocation (malloc, calloc, realloc, or an
// anonymous mmap that the program makes itself) fail with ENOMEM, or the N-th open(2), read(2),
// poll(2), pipe(2) (pipe2 included) or splice(2) fail with the errno FAULT_ERRNO (EIO unless
// set), in the program named by FAULT_EXE only (not in the programs that it runs).
// FAULT_ALLOC=N, FAULT_OPEN=N, FAULT_READ=N, FAULT_POLL=N, FAULT_PIPE=N and FAULT_SPLICE=N choose
// the failure; when it happens, a line "alloc N", "open N", "read N", "poll N", "pipe N" or
// "splice N" is appended to the file FAULT_LOG.
// Besides, FAULT_REFUSE_SPLICE=1 makes every splice(2) refuse its descriptors (EINVAL), and with
// FAULT_SECRET set, memory released by free(3) or munmap(2) that still holds its text appends
// "secret N" to FAULT_LOG, N counting such releases.
#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <malloc.h>
#include <poll.h>
#include <sys/mman.h>
#include <unistd.h>

extern "C" {
void *__libc_malloc(size_t);
void *__libc_calloc(size_t, size_t);
void *__libc_realloc(void *, size_t);
void __libc_free(void *);
}

namespace {

bool active;
long fail_alloc = -1, fail_open = -1, fail_read = -1, fail_poll = -1, fail_pipe = -1,
     fail_splice = -1;
int fail_errno = EIO;
long allocs, opens, reads, polls, pipes, splices, secrets;
bool refuse_splice;
const char *secret;

using Open = int (*)(const char *, int, ...);
Open real_open() {
    static Open real = reinterpret_cast<Open>(dlsym(RTLD_NEXT, "open"));
    return real;
}

long number(const char *name) {
    const char *value = std::getenv(name);
    return value != nullptr ? std::atol(value) : -1;
}

[[gnu::constructor]] void start() {
    const char *exe = std::getenv("FAULT_EXE");
    char self[4096];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (exe == nullptr || n <= 0)
        return;
    self[n] = '\0';
    active = std::strcmp(self, exe) == 0;
    fail_alloc = number("FAULT_ALLOC");
    fail_open = number("FAULT_OPEN");
    fail_read = number("FAULT_READ");
    fail_poll = number("FAULT_POLL");
    fail_pipe = number("FAULT_PIPE");
    if (long error = number("FAULT_ERRNO"); error > 0)
        fail_errno = static_cast<int>(error);
    fail_splice = number("FAULT_SPLICE");
    refuse_splice = number("FAULT_REFUSE_SPLICE") == 1;
    secret = std::getenv("FAULT_SECRET");
    if (secret != nullptr && *secret == '\0')
        secret = nullptr;
}

void note(const char *what, long count) {
    const char *log = std::getenv("FAULT_LOG");
    if (log == nullptr)
        return;
    char line[64];
    int length = 0;
    for (const char *p = what; *p != '\0'; ++p)
        line[length++] = *p;
    line[length++] = ' ';
    char digits[24];
    int d = 0;
    do
        digits[d++] = static_cast<char>('0' + count % 10);
    while ((count /= 10) > 0);
    while (d > 0)
        line[length++] = digits[--d];
    line[length++] = '\n';
    int fd = real_open()(log, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd >= 0) {
        (void)!write(fd, line, static_cast<size_t>(length));
        close(fd);
    }
}

// Counts one more call of `kind` and tells whether it is the one to fail, with `error`.
bool fails(const char *kind, long &calls, long fail_at, int error) {
    if (!active || ++calls != fail_at)
        return false;
    note(kind, calls);
    errno = error;
    return true;
}

bool alloc_fails() {
    return fails("alloc", allocs, fail_alloc, ENOMEM);
}

// Notes memory about to be released that still holds the secret.
void look_for_secret(const void *memory, size_t size) {
    if (active && secret != nullptr && memory != nullptr &&
        memmem(memory, size, secret, std::strlen(secret)) != nullptr)
        note("secret", ++secrets);
}

} // namespace

extern "C" {

void *malloc(size_t size) {
    return alloc_fails() ? nullptr : __libc_malloc(size);
}
void *calloc(size_t count, size_t size) {
    return alloc_fails() ? nullptr : __libc_calloc(count, size);
}
void *realloc(void *old, size_t size) {
    return alloc_fails() ? nullptr : __libc_realloc(old, size);
}

void free(void *memory) {
    if (memory != nullptr)
        look_for_secret(memory, malloc_usable_size(memory));
    __libc_free(memory);
}

int munmap(void *address, size_t length) {
    using Munmap = int (*)(void *, size_t);
    static Munmap real_munmap = reinterpret_cast<Munmap>(dlsym(RTLD_NEXT, "munmap"));
    look_for_secret(address, length);
    return real_munmap(address, length);
}

ssize_t splice(int in, loff_t *in_offset, int out, loff_t *out_offset, size_t length,
               unsigned flags) {
    using Splice = ssize_t (*)(int, loff_t *, int, loff_t *, size_t, unsigned);
    static Splice real_splice = reinterpret_cast<Splice>(dlsym(RTLD_NEXT, "splice"));
    if (active && refuse_splice) {
        errno = EINVAL;
        return -1;
    }
    if (fails("splice", splices, fail_splice, fail_errno))
        return -1;
    return real_splice(in, in_offset, out, out_offset, length, flags);
}

// The C library's own mappings (malloc's, the loader's) do not come through here.
void *mmap(void *address, size_t length, int protection, int flags, int fd, off_t offset) {
    using Mmap = void *(*)(void *, size_t, int, int, int, off_t);
    static Mmap real_mmap = reinterpret_cast<Mmap>(dlsym(RTLD_NEXT, "mmap"));
    if ((flags & MAP_ANONYMOUS) != 0 && alloc_fails())
        return MAP_FAILED;
    return real_mmap(address, length, protection, flags, fd, offset);
}

// pathvane opens its files with open(2) alone; open64 and openat are left to the C library.
int open(const char *path, int flags, ...) {
    mode_t mode = 0;
    if ((flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE) {
        va_list args;
        va_start(args, flags);
        mode = va_arg(args, mode_t);
        va_end(args);
    }
    if (fails("open", opens, fail_open, fail_errno))
        return -1;
    return real_open()(path, flags, mode);
}

ssize_t read(int fd, void *buf, size_t count) {
    using Read = ssize_t (*)(int, void *, size_t);
    static Read real_read = reinterpret_cast<Read>(dlsym(RTLD_NEXT, "read"));
    if (fails("read", reads, fail_read, fail_errno))
        return -1;
    return real_read(fd, buf, count);
}

int pipe(int ends[2]) {
    using Pipe = int (*)(int[2]);
    static Pipe real_pipe = reinterpret_cast<Pipe>(dlsym(RTLD_NEXT, "pipe"));
    if (fails("pipe", pipes, fail_pipe, fail_errno))
        return -1;
    return real_pipe(ends);
}

int pipe2(int ends[2], int flags) {
    using Pipe2 = int (*)(int[2], int);
    static Pipe2 real_pipe2 = reinterpret_cast<Pipe2>(dlsym(RTLD_NEXT, "pipe2"));
    if (fails("pipe", pipes, fail_pipe, fail_errno))
        return -1;
    return real_pipe2(ends, flags);
}

int poll(struct pollfd *fds, nfds_t count, int timeout) {
    using Poll = int (*)(struct pollfd *, nfds_t, int);
    static Poll real_poll = reinterpret_cast<Poll>(dlsym(RTLD_NEXT, "poll"));
    if (fails("poll", polls, fail_poll, fail_errno))
        return -1;
    return real_poll(fds, count, timeout);
}
}
