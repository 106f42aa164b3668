// The receiving end of the relay benchmark: reads standard input to its end with a 1 MiB
// buffer, so that the reader is never the bottleneck. With SINK_BYTES set it exits 1 unless
// exactly that many bytes came, so a relay that loses or adds data fails the run.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <unistd.h>

int main() {
    static char buffer[1 << 20];
    long long total = 0;
    for (;;) {
        ssize_t n = read(STDIN_FILENO, buffer, sizeof buffer);
        if (n == 0)
            break;
        if (n == -1) {
            if (errno == EINTR)
                continue;
            std::perror("sink: read");
            return 1;
        }
        total += n;
    }
    const char *expected = std::getenv("SINK_BYTES");
    if (expected != nullptr && std::atoll(expected) != total) {
        std::fprintf(stderr, "sink: read %lld bytes, expected %s\n", total, expected);
        return 1;
    }
    return 0;
}
