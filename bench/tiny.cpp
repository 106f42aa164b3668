// A program with as small a footprint as can be, for measuring pathvane's own peak memory:
// with an argument it reads standard input to its end, without one it just exits.
#include <unistd.h>

int main(int argc, char *[]) {
    static char buf[4096];
    if (argc > 1)
        while (read(0, buf, sizeof buf) > 0) {
        }
    return 0;
}
