#include <gtest/gtest.h>

#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "files.h"
#include "front_end.h"
#include "log_socket.h"
#include "process.h"
#include "program_table.h"

namespace {

// argv as the C library hands it over: mutable strings and a null at the end.
struct Args {
    std::vector<std::string> storage;
    std::vector<char *> pointers;
    explicit Args(std::vector<std::string> args) : storage(std::move(args)) {
        for (std::string &s : storage)
            pointers.push_back(s.data());
        pointers.push_back(nullptr);
    }
    int argc() const { return static_cast<int>(storage.size()); }
    char **argv() { return pointers.data(); }
};

std::string shown(const std::vector<std::string> &args) {
    std::string text;
    for (const std::string &a : args)
        text += "'" + a + "' ";
    return text;
}

using Mode = pathvane::CommandLine::Mode;
constexpr Mode direct = Mode::direct;
constexpr Mode server = Mode::server;
constexpr Mode pserver = Mode::pserver;

const char *shown(Mode mode) {
    return mode == server ? "server" : mode == pserver ? "pserver" : "direct";
}

struct CommandLineCase {
    std::vector<std::string> args;
    std::optional<std::string> root;
    Mode mode;
    // cvs runs a command with this line, and so names the root it uses in its error (there is
    // no repository): false where it only prints help or its version, runs its server, or
    // refuses the line.
    bool cvs_runs;
};

const CommandLineCase command_lines[] = {
    // The last -d wins; every option that takes an argument takes it, attached or not.
    {{"cvs", "-d", "/r1", "-d", "/r2", "rls"}, "/r2", direct, true},
    {{"cvs", "-q", "-d", "/r", "co", "m"}, "/r", direct, true},
    {{"cvs", "-z", "9", "-d", "/r", "co", "m"}, "/r", direct, true},
    {{"cvs", "-T", "/tmp", "-d", "/r", "rls"}, "/r", direct, true},
    {{"cvs", "-e", "vi", "-d", "/r", "rls"}, "/r", direct, true},
    {{"cvs", "-s", "X=1", "-d", "/r", "rls"}, "/r", direct, true},
    {{"cvs", "-b", "/x", "-d", "/r", "rls"}, "/r", direct, true},
    {{"cvs", "-Qz", "3", "-d", "/r", "rls"}, "/r", direct, true},
    {{"cvs", "-z9", "-qd/r", "co", "m"}, "/r", direct, true},
    {{"cvs", "-T/tmp/dd", "rls"}, std::nullopt, direct, true},
    {{"cvs", "-e", "-d", "rls"}, std::nullopt, direct, true},
    {{"cvs", "-f", "-l", "-a", "-x", "-g", "-R", "-n", "-t", "-w", "-r", "-Q", "-d", "/r", "rls"},
     "/r",
     direct,
     true},
    {{"cvs", "-d", "-q", "co", "m"}, "-q", direct, true},
    {{"cvs", "-d", "", "rls"}, "", direct, true},
    {{"cvs", "-d", "/r/", "rls"}, "/r/", direct, true},
    {{"cvs", "-d", ":local:/r", "rls"}, ":local:/r", direct, true},
    {{"cvs", "-d", "/r", "--", "rls"}, "/r", direct, true},
    // Options end at the command word; a later -d is the command's.
    {{"cvs", "co", "-d", "dir", "m"}, std::nullopt, direct, true},
    {{"cvs", "--", "-d", "/r"}, std::nullopt, direct, false},
    {{"cvs", "-", "-d", "/r"}, std::nullopt, direct, false},
    {{"cvs", "-d"}, std::nullopt, direct, false},
    {{"cvs", "-qd"}, std::nullopt, direct, false},
    // Long options, with their arguments and by unambiguous prefixes.
    {{"cvs", "--allow-root=/srv/cvs/dev", "rls"}, std::nullopt, direct, true},
    {{"cvs", "--allow-root", "/x", "-d", "/r", "rls"}, "/r", direct, true},
    {{"cvs", "--allow-root-r", "/x", "-d", "/r", "rls"}, "/r", direct, true},
    {{"cvs", "--allow-root-regexp=^/x", "-d", "/r", "rls"}, "/r", direct, true},
    {{"cvs", "--allow-root=", "-d", "/r", "rls"}, "/r", direct, true},
    {{"cvs", "--allow-root", "-d", "/r", "rls"}, std::nullopt, direct, false},
    // What cvs refuses is passed over: an ambiguous prefix, an argument where none is taken,
    // an unknown letter.
    {{"cvs", "--allow", "/x", "-d", "/r"}, std::nullopt, direct, false},
    {{"cvs", "--version=1", "-d", "/r", "rls"}, "/r", direct, false},
    {{"cvs", "-Xd/r", "rls"}, "/r", direct, false},
    // Help and the version: cvs ends at -v and the help lists, and reads on after -H.
    {{"cvs", "-v", "-d", "/r"}, std::nullopt, direct, false},
    {{"cvs", "-qv", "-d", "/r"}, std::nullopt, direct, false},
    {{"cvs", "-d", "/r", "--vers"}, "/r", direct, false},
    {{"cvs", "--help-c", "-d", "/r"}, std::nullopt, direct, false},
    {{"cvs", "-H", "-d", "/r", "rls"}, "/r", direct, false},
    {{"cvs", "-H", "server"}, std::nullopt, direct, false},
    {{"cvs", "--help", "server"}, std::nullopt, direct, false},
    {{"cvs", "-v", "server"}, std::nullopt, direct, false},
    // Server mode: the command word, or argv[0], is "server"; -d comes first.
    {{"cvs", "server"}, std::nullopt, server, false},
    {{"server"}, std::nullopt, server, false},
    {{"cvs", "-z", "9", "server"}, std::nullopt, server, false},
    {{"cvs", "-q", "--", "server"}, std::nullopt, server, false},
    {{"cvs", "-d", "/r", "server"}, "/r", direct, false},
    {{"server", "-d", "/r", "co"}, "/r", direct, false},
    {{"cvs", "co", "server"}, std::nullopt, direct, true},
    {{"cvs", "commit", "-m", "server", "f"}, std::nullopt, direct, true},
    {{"cvs", "-e", "server", "rls"}, std::nullopt, direct, true},
    {{"cvs", "Server"}, std::nullopt, direct, false},
    // The password server: the command word alone, whatever -d says; help and the version first.
    {{"cvs", "pserver"}, std::nullopt, pserver, false},
    {{"cvs", "-f", "--allow-root=/srv/cvs", "pserver"}, std::nullopt, pserver, false},
    {{"cvs", "-d", "/r", "pserver"}, "/r", pserver, false},
    {{"cvs", "--", "pserver"}, std::nullopt, pserver, false},
    {{"cvs", "-H", "pserver"}, std::nullopt, direct, false},
    {{"cvs", "-v", "pserver"}, std::nullopt, direct, false},
    {{"cvs", "co", "pserver"}, std::nullopt, direct, true},
    {{"cvs", "Pserver"}, std::nullopt, direct, false},
    {{"pserver"}, std::nullopt, direct, false},
    {{"/usr/bin/server"}, std::nullopt, direct, false},
    {{"-d", "/not/an/option"}, std::nullopt, direct, false}, // argv[0] is never an option
    {{}, std::nullopt, direct, false},
};

TEST(ScanCommandLine, ReadsTheGlobalOptionsAndTheCommandWord) {
    for (const CommandLineCase &c : command_lines) {
        Args args(c.args);
        pathvane::CommandLine line = pathvane::scan_command_line(args.argc(), args.argv());
        if (c.root)
            EXPECT_STREQ(line.root, c.root->c_str()) << shown(c.args);
        else
            EXPECT_EQ(line.root, nullptr) << shown(c.args) << "gave " << line.root;
        EXPECT_STREQ(shown(line.mode), shown(c.mode)) << shown(c.args);
        // The scan leaves argv exactly as it was.
        for (std::size_t i = 0; i < c.args.size(); ++i)
            EXPECT_EQ(args.argv()[i], args.storage[i].data());
    }
}

// The root that cvs uses, from its complaint that the repository does not exist; nullopt when
// it names none.
std::optional<std::string> root_cvs_names(const std::string &errors) {
    const std::string missing = "/CVSROOT: No such file or directory";
    const std::string relative = "CVSROOT must be an absolute pathname (not `";
    if (std::size_t end = errors.find(missing); end != std::string::npos) {
        std::size_t start = errors.rfind("]: ", end);
        EXPECT_NE(start, std::string::npos) << errors;
        return errors.substr(start + 3, end - start - 3);
    }
    if (std::size_t start = errors.find(relative); start != std::string::npos) {
        start += relative.size();
        return errors.substr(start, errors.find("')", start) - start);
    }
    EXPECT_NE(errors.find("No CVSROOT specified"), std::string::npos) << errors;
    return std::nullopt;
}

std::optional<std::string> compared(const std::optional<std::string> &root) {
    if (!root)
        return root;
    return std::string(pathvane::normalize_root(root->c_str()).get());
}

// Runs Debian's cvs with `args`, with no ~/.cvsrc, no CVSROOT, no working copy and no way to
// reach a remote host; a server it starts is asked for its valid requests.
test::Outcome run_cvs(const std::vector<std::string> &args, const test::TempDir &home) {
    test::Invocation inv;
    inv.program = "/usr/bin/cvs";
    inv.argv = args;
    inv.env = {"HOME=" + home.path(), "CVS_RSH=false", "PATH=/usr/bin:/bin"};
    inv.cwd = home.path();
    inv.input = {{"valid-requests\n"}};
    return test::run(inv);
}

TEST(ScanCommandLine, FindsTheRootAndTheServerAsCvsDoes) {
    test::TempDir home;
    if (!test::file_exists("/usr/bin/cvs") ||
        run_cvs({"cvs", "--version"}, home).out.find("(CVS) 1.12.13") == std::string::npos)
        GTEST_SKIP() << "Debian's cvs 1.12.13 is not installed";
    for (const CommandLineCase &c : command_lines) {
        if (c.args.empty() || c.args[0] != "cvs")
            continue; // cvs does not look at its argv[0]
        test::Outcome outcome = run_cvs(c.args, home);
        ASSERT_TRUE(outcome.exited) << shown(c.args);
        // Roots are compared as pathvane compares them: cvs drops a trailing '/' and the method.
        if (c.cvs_runs) {
            EXPECT_EQ(compared(root_cvs_names(outcome.err)), compared(c.root)) << shown(c.args);
        }
        // With -d, pathvane launches cvs's server directly; not its password server.
        if (!c.root || c.mode == pserver) {
            EXPECT_EQ(outcome.out.find("Valid-requests") != std::string::npos, c.mode == server)
                << shown(c.args);
        }
        EXPECT_EQ(outcome.err.find("bad auth protocol start") != std::string::npos,
                  c.mode == pserver)
            << shown(c.args);
    }
}

TEST(ReadRootFile, TakesTheTrimmedFirstLine) {
    using namespace std::string_literals;
    const struct {
        std::string content;
        std::optional<std::string> root;
    } cases[] = {
        {"/home/repo \t\r\n", "/home/repo"},
        {":ext:host:/home/repo\n/other\n", ":ext:host:/home/repo"},
        {"/r", "/r"},
        {"\n", "\n"},
        {"   \n", " "},
        {"\r\n", "\r"},
        {" /r\n", " /r"},
        {"/a\0b\n"s, "/a"},
        {"/a\0 \n"s, "/a"},
        {"\n/second\n", "\n"},
        {"/r \xc3\xa9\n", "/r \xc3\xa9"},
        {"", std::nullopt},
    };
    test::TempDir dir;
    for (const auto &c : cases) {
        test::write_file(dir / "Root", c.content);
        pathvane::CString root = pathvane::read_root_file((dir / "Root").c_str());
        if (c.root)
            EXPECT_STREQ(root.get(), c.root->c_str()) << "content '" << c.content << "'";
        else
            EXPECT_EQ(root.get(), nullptr) << "content '" << c.content << "'";
    }
}

TEST(ReadRootFile, NothingFromMissingFilesOrDirectories) {
    test::TempDir dir;
    EXPECT_EQ(pathvane::read_root_file((dir / "absent").c_str()).get(), nullptr);
    EXPECT_EQ(pathvane::read_root_file(dir.path().c_str()).get(), nullptr);
}

TEST(ReadRootFile, FirstLineOfAnyLength) {
    test::TempDir dir;
    std::string root = "/" + std::string(300000, 'r');
    test::write_file(dir / "Root", root + "  \n/next\n");
    EXPECT_EQ(pathvane::read_root_file((dir / "Root").c_str()).get(), root);
}

// Whatever a password holds, none of it reaches the record: roots of the forms cvs reads, with
// and without a path, with passwords of '@', ':' and '/' among letters that nothing else in the
// record holds. A password that begins with '/', or holds ':' right before a '/', makes the root
// read as a well-formed one whose path comes there, as cvs reads it too, and keeps that path,
// as ":ext:host:/r1/a@b" does in the routing records' system test. So does every root here whose
// path follows its port.
TEST(RecordRoute, NeverShowsAPassword) {
    test::TempDir dir;
    test::LogSocket log(dir / "log");
    std::mt19937 random(22);
    auto pick = [&](std::string_view bytes, std::size_t most) {
        std::string picked(random() % (most + 1), ' ');
        for (char &c : picked)
            c = bytes[random() % bytes.size()];
        return picked;
    };
    const pathvane::Program program{"/usr/bin/ncvs", nullptr};
    for (int i = 0; i < 3000; ++i) {
        const char *methods[] = {"", ":pserver:", ":ext:", ":gserver:"};
        std::string password;
        do
            password = pick("QZ@:/", 8) + (random() % 2 ? "Q" : "Z") + pick("QZ@:/", 8);
        while (password.starts_with('/') || password.find(":/") != std::string::npos);
        std::string port = random() % 2 ? "" : ":" + pick("0123456789", 4);
        std::string path = random() % 4 == 0 ? "" : "/" + pick("rep@/:", 12);
        std::string root = std::string(methods[random() % 4]) + "u" + pick("ser@.", 6) + ":" +
                           password + "@" + pick("host.", 8) + port + path;
        pathvane::record_route(log.path().c_str(),
                               {pathvane::RootSource::option, root.c_str(), &program});
        std::vector<std::string> records = log.take();
        ASSERT_EQ(records.size(), 1u) << root;
        EXPECT_EQ(records[0].find_first_of("QZ"), std::string::npos)
            << "root " << root << "\nrecord " << records[0];
        if (!port.empty() && !path.empty() && path.find(':') == std::string::npos) {
            EXPECT_NE(records[0].find(port + path + "\" program="), std::string::npos)
                << "root " << root << "\nrecord " << records[0];
        }
    }
}

} // namespace
