// The sandbox of the pathvane binary under test: its built-in table and fallback paths point
// here, and the recording stand-ins for CVS programs write what they saw into it.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "files.h"
#include "process.h"

namespace test {

class Sandbox {
  public:
    Sandbox();

    // Whether the binary under test runs under valgrind's memcheck (PATHVANE_TEST_VALGRIND is
    // set), and whether this build is instrumented by a sanitizer that excludes valgrind and
    // preloaded allocators.
    static bool under_valgrind();
    static bool sanitized();

    // Whether a run whose program could not be started ended as it must: status 1 and
    // `message`. Under valgrind, posix_spawn forks and execs, and the failure shows only as
    // the program's own exit status, 127, without a message: that is taken as well.
    static bool start_failed(const Outcome &outcome, const std::string &message);

    // The path of the recording program with this name: alpha, beta, default or fallback.
    static std::string recorder(const std::string &name);

    void write_table(const std::string &text) const;
    void remove_fallback() const;
    const std::string &work() const { return work_; } // the commands' working directory
    std::string path(const std::string &name) const { return dir_ / name; }

    // Runs the binary under test, through a link named "cvs" unless `program` names another
    // path; `env` is added to the recorder's RECORD_DIR and a plain PATH. Under valgrind, the
    // binary is run through a link named as argv[0]'s last component.
    Invocation invocation(std::vector<std::string> argv, std::vector<std::string> env = {}) const;

    // The argv that a program run by the binary under test must see: `argv` itself, except
    // under valgrind, which puts the path it ran in argv[0].
    std::vector<std::string> argv_seen(std::vector<std::string> argv) const;

    // What the recorder saw; `program` is empty when no recorder ran.
    struct Record {
        std::string program;
        std::vector<std::string> argv;
        std::vector<std::string> environ;
        std::string cwd;
        std::string fds;
        std::string signals; // "ignored N ...\nblocked N ...\n", among signals 1 to 31
        std::string stdin_bytes;
        std::string stdin_id; // "dev:ino" of its standard input, as Outcome::stdin_id
        long long started_ns = 0;
        long pid = 0;
    };
    Record record() const;

  private:
    TempDir dir_;
    std::string work_;
    std::string record_;
};

} // namespace test
