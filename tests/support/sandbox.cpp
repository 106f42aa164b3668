#include "sandbox.h"

#include <filesystem>

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

Invocation Sandbox::invocation(std::vector<std::string> argv, std::vector<std::string> env) const {
    Invocation inv;
    inv.program = dir_ / "bin/cvs";
    inv.argv = std::move(argv);
    inv.env = {"RECORD_DIR=" + record_, "PATH=/usr/bin:/bin"};
    inv.env.insert(inv.env.end(), env.begin(), env.end());
    inv.cwd = work_;
    return inv;
}

Sandbox::Record Sandbox::record() const {
    Record r;
    r.program = read_file(record_ + "/program");
    r.argv = split_nul(read_file(record_ + "/argv"));
    r.environ = split_nul(read_file(record_ + "/environ"));
    r.cwd = read_file(record_ + "/cwd");
    r.fds = read_file(record_ + "/fds");
    r.stdin_bytes = read_file(record_ + "/stdin");
    std::string started = read_file(record_ + "/started");
    r.started_ns = started.empty() ? 0 : std::stoll(started);
    return r;
}

} // namespace test
