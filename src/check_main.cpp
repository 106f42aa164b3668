// pathvane-check: checks the program table, and tells which program pathvane would run.
#include <cstdio>
#include <cstring>

#include "program_selection.h"
#include "table_check.h"

namespace {

int usage() {
    std::fputs("usage: pathvane-check [-f table] [root ... | -- cvs-arguments ...]\n", stderr);
    return 2;
}

} // namespace

int main(int argc, char *argv[]) {
    const char *table = pathvane::table_path;
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::printf("pathvane-check %s\n", PATHVANE_VERSION);
        return 0;
    }
    int first = 1;
    if (first < argc && std::strcmp(argv[first], "-f") == 0) {
        if (first + 1 >= argc)
            return usage();
        table = argv[first + 1];
        first += 2;
    }
    if (first == argc)
        return pathvane::check_table(table, stderr);
    if (std::strcmp(argv[first], "--") == 0) {
        if (first + 1 == argc)
            return usage();
        pathvane::explain_command(table, pathvane::fallback_program, argc - first - 1,
                                  argv + first + 1, stdout);
        return 0;
    }
    if (argv[first][0] == '-')
        return usage();
    for (int i = first; i < argc; ++i)
        pathvane::explain_root(table, pathvane::fallback_program, argv[i], stdout);
    return 0;
}
