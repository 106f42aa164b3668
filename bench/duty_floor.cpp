// A C wrapper that does what pathvane must do before it runs /bin/true, and no more: copy the
// root, read the table's first 64 KiB, look for the root in it, and check that the program is
// not itself (two stats). Beside exec_floor, it tells pathvane's duties from its overhead.
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

int main(int argc, char *argv[]) {
    char *root = strdup(argc > 2 ? argv[2] : "");
    char *table = static_cast<char *>(std::malloc(65536));
    [[maybe_unused]] void *volatile found = nullptr; // kept, so that the search is made
    int fd = open(TABLE, O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
        ssize_t n = read(fd, table, 65536);
        if (n > 0)
            found = memmem(table, static_cast<size_t>(n), root, strlen(root));
        close(fd);
    }
    struct stat program, self;
    if (stat("/bin/true", &program) == 0 && stat("/proc/self/exe", &self) == 0 &&
        program.st_ino == self.st_ino)
        return 1;
    execv("/bin/true", argv);
    return 127;
}
