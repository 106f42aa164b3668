// The front end (front_end.cpp): where the root of a CVS command comes from, and the launch of
// its program.
#pragma once

#include "platform.h"
#include "program_table.h"

namespace pathvane {

// What cvs itself makes of its command line before it runs a command: the global options, read
// as its getopt_long reads them (no permutation; "--" ends them), and the command word.
struct CommandLine {
    const char *root = nullptr; // the argument of the last -d; null without one
    // cvs would run its server: the command word (or argv[0]) is "server", and neither -d nor
    // an option that only prints help or the version stands before it.
    bool server = false;
};

CommandLine scan_command_line(int argc, char *const argv[]) noexcept;

// The first line of the file at `path` with trailing whitespace removed (its first byte is
// always kept); null when the file is missing, unreadable or empty. Any other failure (the
// machine's: descriptors or memory running out, an I/O error) is fatal.
CString read_root_file(const char *path);

enum class RootSource { option, server, root_file, environment, none };

// The root and where it came from. In server mode the root is still to be read from the
// client (`root` is null); with RootSource::none there is no root.
struct RootFinding {
    RootSource source = RootSource::none;
    const char *root = nullptr;
    CString owned; // holds `root` when it was read from the root file
};

RootFinding find_root(int argc, char *const argv[]);

// The whole run, with the program table that main was built with: returns an exit status in
// server mode only; otherwise it ends by exec or err.
int pathvane_main(int argc, char *argv[], const ProgramTable &table);

} // namespace pathvane
