// pathvane-check: checks the program table, and tells which program pathvane would run.
#include <cstdio>
#include <cstring>
#include <getopt.h>

#include "table_check.h"

namespace {

int usage() {
    std::fputs("usage: pathvane-check [-f table] [-l | root ... | -- cvs-arguments ... |\n"
               "                      --against table [--records file]]\n",
               stderr);
    return 2;
}

} // namespace

int main(int argc, char *argv[]) {
    pathvane::ProgramTable table{PATHVANE_TABLE, PATHVANE_FALLBACK};
    const option long_options[] = {{"version", no_argument, nullptr, 'V'},
                                   {"against", required_argument, nullptr, 'a'},
                                   {"records", required_argument, nullptr, 'r'},
                                   {}};
    bool version = false;
    const char *against = nullptr; // the table in use, that the table checked may replace
    const char *records = nullptr;
    bool list = false;
    bool command = false; // "--" came before the operands: they are a cvs command line
    opterr = 0;           // the usage line says it all
    for (;;) {
        int before = optind;
        int c = getopt_long(argc, argv, "+f:l", long_options, nullptr);
        if (c == -1) {
            // Only "--" ends the options by moving past an element.
            command = optind == before + 1;
            break;
        }
        if (c == 'f')
            table.path = optarg;
        else if (c == 'l')
            list = true;
        else if (c == 'V')
            version = true;
        else if (c == 'a')
            against = optarg;
        else if (c == 'r')
            records = optarg;
        else
            return usage();
    }
    int operands = argc - optind;
    char **operand = argv + optind;
    if (against != nullptr || records != nullptr) {
        if (against == nullptr || version || list || command || operands != 0)
            return usage();
        return pathvane::compare_tables(table, against, records, PATHVANE_PROGRAM, stdout, stderr);
    }
    if (version || list) {
        if (operands != 0 || command || (version && list))
            return usage();
        if (list)
            return pathvane::list_routes(table, stdout);
        std::printf("pathvane-check %s\n", PATHVANE_VERSION);
        return 0;
    }
    if (command) {
        if (operands == 0)
            return usage();
        pathvane::explain_command(table, operands, operand, stdout);
        return 0;
    }
    if (operands == 0)
        return pathvane::check_table(table, PATHVANE_PROGRAM, stderr);
    for (int i = 0; i < operands; ++i)
        pathvane::explain_root(table, operand[i], stdout);
    return 0;
}
