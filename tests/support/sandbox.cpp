#include "sandbox.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <unistd.h>

namespace test {

Sandbox::Sandbox() : dir_(SANDBOX), work_(dir_ / "work"), record_(dir_ / "record") {
    make_dir(work_);
    make_dir(record_);
    make_dir(dir_ / "bin");
    std::filesystem::create_symlink(recorder("fallback"), dir_ / "fallback");
    std::filesystem::create_symlink(PATHVANE_UNDER_TEST, dir_ / "bin/cvs");
}

std::string Sandbox::recorder(const std::string &name) {
    return std::string(RECORDERS) + "/recorder_" + name;
}

void Sandbox::write_table(const std::string &text) const {
    write_file(dir_ / "pathvane.conf", text);
}

void Sandbox::remove_fallback() const {
    std::filesystem::remove(dir_ / "fallback");
}

bool Sandbox::under_valgrind() {
    return std::getenv("PATHVANE_TEST_VALGRIND") != nullptr;
}

bool Sandbox::sanitized() {
#if defined(__SANITIZE_ADDRESS__)
    return true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
    return true;
#endif
#endif
    return false;
}

namespace {

std::string base_name(const std::vector<std::string> &argv) {
    std::string name = argv.empty() ? "" : argv[0].substr(argv[0].rfind('/') + 1);
    return name.empty() ? "cvs" : name;
}

} // namespace

std::vector<std::string> Sandbox::argv_seen(std::vector<std::string> argv) const {
    if (under_valgrind() && !argv.empty())
        argv[0] = dir_ / ("bin/" + base_name(argv));
    return argv;
}

Invocation Sandbox::invocation(std::vector<std::string> argv, std::vector<std::string> env) const {
    Invocation inv;
    inv.program = dir_ / "bin/cvs";
    inv.argv = std::move(argv);
    inv.env = {"RECORD_DIR=" + record_, "PATH=/usr/bin:/bin"};
    inv.env.insert(inv.env.end(), env.begin(), env.end());
    inv.cwd = work_;
    if (under_valgrind()) {
        std::string link = dir_ / ("bin/" + base_name(inv.argv));
        if (!file_exists(link))
            std::filesystem::create_symlink(PATHVANE_UNDER_TEST, link);
        std::vector<std::string> args = {"valgrind",
                                         "-q",
                                         "--error-exitcode=99",
                                         "--leak-check=full",
                                         "--suppressions=" VALGRIND_SUPPRESSIONS,
                                         link};
        if (!inv.argv.empty())
            args.insert(args.end(), inv.argv.begin() + 1, inv.argv.end());
        inv.program = "/usr/bin/valgrind";
        inv.argv = std::move(args);
        inv.timeout_ms *= 4;
    }
    return inv;
}

bool Sandbox::start_failed(const Outcome &outcome, const std::string &message) {
    if (outcome.exited && outcome.exit_code == 1 && outcome.err == message)
        return true;
    return under_valgrind() && outcome.exited && outcome.exit_code == 127 && outcome.err.empty();
}

Sandbox::Record Sandbox::record() const {
    Record r;
    r.program = read_file(record_ + "/program");
    r.argv = split_nul(read_file(record_ + "/argv"));
    r.environ = split_nul(read_file(record_ + "/environ"));
    if (under_valgrind()) {
        // What valgrind (and Debian's script around it) adds to its programs' environment.
        std::erase_if(r.environ, [](const std::string &entry) {
            for (const char *added : {"LD_LIBRARY_PATH=/usr/lib/debug", "GLIBCPP_FORCE_NEW=",
                                      "GLIBCXX_FORCE_NEW=", "PWD=", "LD_PRELOAD="})
                if (entry.starts_with(added))
                    return true;
            return false;
        });
    }
    r.cwd = read_file(record_ + "/cwd");
    r.fds = read_file(record_ + "/fds");
    r.signals = read_file(record_ + "/signals");
    r.stdin_bytes = read_file(record_ + "/stdin");
    r.stdin_id = read_file(record_ + "/stdin_id");
    std::string started = read_file(record_ + "/started");
    r.started_ns = started.empty() ? 0 : std::stoll(started);
    std::string pid = read_file(record_ + "/pid");
    r.pid = pid.empty() ? 0 : std::stol(pid);
    return r;
}

} // namespace test
