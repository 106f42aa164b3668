// The front end: where the root of a CVS command comes from, and the launch of its program.
#pragma once

#include "platform.h"

namespace pathvane {

// The root named by the option -d, scanned as POSIX getopt with "d:" and opterr off would
// scan it, without permuting argv; null when the scan ends without one.
const char *scan_root_option(int argc, char *const argv[]) noexcept;

// Whether any element of argv, argv[0] included, is the word "server".
bool has_server_word(int argc, char *const argv[]) noexcept;

// The first line of the file at `path` with trailing whitespace removed (its first byte is
// always kept); null when the file cannot be opened or read, is empty, or memory runs out.
CString read_root_file(const char *path) noexcept;

enum class RootSource { option, server, root_file, environment, none };

// The root and where it came from. In server mode the root is still to be read from the
// client (`root` is null); with RootSource::none there is no root.
struct RootFinding {
    RootSource source = RootSource::none;
    const char *root = nullptr;
    CString owned; // holds `root` when it was read from the root file
};

RootFinding find_root(int argc, char *const argv[]) noexcept;

// The whole run: returns an exit status in server mode only; otherwise it ends by exec or err.
int pathvane_main(int argc, char *argv[]);

} // namespace pathvane
