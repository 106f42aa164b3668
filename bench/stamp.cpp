// Writes CLOCK_MONOTONIC at its start, in ns, into the file named by STAMP_FILE; reads nothing.
#include <cstdio>
#include <cstdlib>
#include <ctime>

int main() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const char *path = std::getenv("STAMP_FILE");
    if (path == nullptr)
        return 2;
    FILE *out = std::fopen(path, "w");
    if (out == nullptr)
        return 2;
    std::fprintf(out, "%lld\n", now.tv_sec * 1000000000LL + now.tv_nsec);
    return std::fclose(out) == 0 ? 0 : 2;
}
