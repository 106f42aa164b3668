// The direct launch, seen from outside: which program runs, with exactly what, and what the
// user sees when it cannot or must not run; and what the system log is told of each launch.
#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <regex>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "log_socket.h"
#include "sandbox.h"

namespace {

using test::Sandbox;

std::string standard_table() {
    return "# routes of the system tests\n"
           "/r1 prog=" +
           Sandbox::recorder("alpha") +
           "\n"
           "/r2 prog=" +
           Sandbox::recorder("beta") +
           "\n"
           "/ prog=" +
           Sandbox::recorder("beta") +
           "\n"
           "* prog=" +
           Sandbox::recorder("default") + "\n";
}

struct DirectCase {
    const char *name;
    std::vector<std::string> argv;
    std::optional<std::string> root_file; // the content of CVS/Root
    std::optional<std::string> cvsroot;
    const char *program; // the recorder expected to run
};

TEST(DirectLaunch, RootSourcesAndTheProgramChosen) {
    const DirectCase cases[] = {
        // Options that cvs reads, its own and the command's, pass on untouched.
        {"options read on the way",
         {"cvs", "-z", "9", "-qd/r2", "--allow-root=/x", "co", "-d", "dir", "m"},
         {},
         "/r1",
         "beta"},
        {"empty -d argument", {"cvs", "-d", "", "co", "m"}, "/r1\n", "/r1", "beta"},
        {"root file trimmed", {"cvs", "update"}, "/r1 \t\r\n", "/r2", "alpha"},
        {"root file over CVSROOT", {"cvs", "update"}, ":ext:host:/r1//\n", "/r2", "alpha"},
        {"empty root file, no CVSROOT", {"cvs", "update"}, "", {}, "fallback"},
        {"no root file, empty CVSROOT", {"cvs", "update"}, {}, "", "beta"},
        {"no root at all", {"cvs", "update"}, {}, {}, "fallback"},
        {"CVSROOT", {"cvs", "update"}, {}, ":local:/r2", "beta"},
        {"root matching no line", {"cvs", "update"}, {}, "/elsewhere", "default"},
        {"root file of a newline", {"cvs", "update"}, "\n", "/r1", "default"},
    };
    for (const DirectCase &c : cases) {
        SCOPED_TRACE(c.name);
        Sandbox sandbox;
        sandbox.write_table(standard_table());
        if (c.root_file) {
            test::make_dir(sandbox.work() + "/CVS");
            test::write_file(sandbox.work() + "/CVS/Root", *c.root_file);
        }
        std::vector<std::string> env;
        if (c.cvsroot)
            env.push_back("CVSROOT=" + *c.cvsroot);
        test::Invocation inv = sandbox.invocation(c.argv, env);
        test::Outcome outcome = test::run(inv);

        EXPECT_TRUE(outcome.exited);
        EXPECT_EQ(outcome.exit_code, 0);
        EXPECT_EQ(outcome.err, "");
        EXPECT_EQ(outcome.out, "");
        Sandbox::Record record = sandbox.record();
        EXPECT_EQ(record.program, c.program);
        EXPECT_EQ(record.argv, sandbox.argv_seen(c.argv));
        EXPECT_EQ(record.environ, inv.env);
        EXPECT_EQ(record.cwd, std::filesystem::canonical(sandbox.work()).string());
        EXPECT_EQ(record.fds, "0\n1\n2\n") << "no descriptor is added or taken away";
    }
}

TEST(DirectLaunch, RootFileThatIsADirectoryIsPassedOver) {
    Sandbox sandbox;
    sandbox.write_table(standard_table());
    test::make_dir(sandbox.work() + "/CVS/Root");
    test::run(sandbox.invocation({"cvs", "update"}, {"CVSROOT=/r2"}));
    EXPECT_EQ(sandbox.record().program, "beta");
}

TEST(DirectLaunch, TableThatCannotBeReadGivesTheFallback) {
    for (bool directory : {true, false}) {
        Sandbox sandbox;
        if (directory)
            test::make_dir(sandbox.path("pathvane.conf"));
        test::Outcome outcome = test::run(sandbox.invocation({"cvs", "-d", "/r1", "co"}));
        EXPECT_EQ(outcome.exit_code, 0);
        EXPECT_EQ(outcome.err, "");
        EXPECT_EQ(sandbox.record().program, "fallback") << (directory ? "directory" : "missing");
    }
}

TEST(DirectLaunch, ProgramGetsStdinAndGivesItsExitStatus) {
    Sandbox sandbox;
    sandbox.write_table(standard_table());
    test::Invocation inv = sandbox.invocation({"cvs", "-d", "/r1", "commit"}, {"RECORD_EXIT=7"});
    std::string bytes("line\n\0\xff\x80 more", 14);
    inv.input = {{bytes}};
    test::Outcome outcome = test::run(inv);
    EXPECT_EQ(outcome.exit_code, 7);
    EXPECT_EQ(sandbox.record().stdin_bytes, bytes);
}

TEST(DirectLaunch, ArgvZeroAndPathAreKeptAsGiven) {
    if (Sandbox::under_valgrind())
        GTEST_SKIP() << "valgrind puts its own argv[0]";
    // The binary itself, and the link named cvs by absolute and by relative path.
    for (const std::string &program :
         {std::string(PATHVANE_UNDER_TEST_PATH), std::string(SANDBOX "/bin/cvs"),
          std::string("../bin/cvs")}) {
        for (const std::string &argv0 : {std::string("cvs"), std::string("/usr/bin/cvs"),
                                         std::string("server-side"), std::string("")}) {
            Sandbox sandbox;
            sandbox.write_table(standard_table());
            test::Invocation inv = sandbox.invocation({argv0, "-d", "/r1", "log"});
            inv.program = program; // relative to the working directory, sandbox/work
            test::Outcome outcome = test::run(inv);
            EXPECT_EQ(outcome.exit_code, 0) << program;
            EXPECT_EQ(sandbox.record().program, "alpha") << program << " as '" << argv0 << "'";
            EXPECT_EQ(sandbox.record().argv, inv.argv) << program << " as '" << argv0 << "'";
        }
    }
}

TEST(DirectLaunch, FailuresToExecAreReportedOnOneLine) {
    const struct {
        const char *name;
        std::string table;
        std::vector<std::string> argv;
        bool without_fallback;
        const char *message;
    } cases[] = {
        {"missing program",
         "/r prog=/nonexistent/cvs\n",
         {"/usr/local/bin/cvs", "-d", "/r", "co"},
         false,
         "cvs: exec: No such file or directory\n"},
        {"empty program path",
         "/r prog=,\n",
         {"cvs", "-d", "/r", "co"},
         false,
         "cvs: exec: No such file or directory\n"},
        {"program not executable",
         "/r prog=" SANDBOX "/pathvane.conf\n",
         {"cvs", "-d", "/r"},
         false,
         "cvs: exec: Permission denied\n"},
        {"program is a directory",
         "/r prog=" SANDBOX "\n",
         {"ncvs", "-d", "/r"},
         false,
         "ncvs: exec: Permission denied\n"},
        {"fallback missing", "", {"cvs", "co"}, true, "cvs: exec: No such file or directory\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        Sandbox sandbox;
        sandbox.write_table(c.table);
        if (c.without_fallback)
            sandbox.remove_fallback();
        test::Outcome outcome = test::run(sandbox.invocation(c.argv));
        EXPECT_TRUE(outcome.exited);
        EXPECT_EQ(outcome.exit_code, 1);
        EXPECT_EQ(outcome.err, c.message);
        EXPECT_EQ(outcome.out, "");
        EXPECT_EQ(sandbox.record().program, "");
    }
}

// Runs `inv` where the kernel cannot say which file a process runs from: in a mount namespace of
// its own, with /proc hidden, as on a Linux without it. False where no such namespace can be made.
bool hide_proc(test::Invocation &inv) {
    test::Invocation probe;
    probe.program = "/usr/bin/unshare";
    probe.argv = {"unshare", "--mount", "--propagation", "private", "/bin/true"};
    test::Outcome outcome = test::run(probe);
    if (!outcome.exited || outcome.exit_code != 0)
        return false;
    std::vector<std::string> argv = {"unshare",
                                     "--mount",
                                     "--propagation",
                                     "private",
                                     "/bin/sh",
                                     "-c",
                                     "/bin/mount -t tmpfs none /proc && exec \"$0\" \"$@\"",
                                     inv.program};
    argv.insert(argv.end(), inv.argv.begin() + 1, inv.argv.end());
    inv.program = probe.program;
    inv.argv = std::move(argv);
    return true;
}

// pathvane is installed as cvs, so a table or fallback naming cvs would have it run itself
// for ever (in server mode, a new process at each level). Where the kernel cannot say which file
// pathvane runs from, the path it is installed at (the built file, here) stands in.
void expect_never_runs_itself(bool without_proc) {
    const std::string cvs_link = SANDBOX "/bin/cvs", hard_link = SANDBOX "/hard-link";
    const struct {
        const char *name;
        std::string program; // as the table or the fallback names it
        bool as_fallback;
        std::vector<std::string> argv;
    } cases[] = {
        {"its own path", PATHVANE_UNDER_TEST_PATH, false, {"cvs", "-d", "/r", "co"}},
        {"the link named cvs", cvs_link, false, {"cvs", "-d", "/r", "co"}},
        {"a hard link", hard_link, false, {"cvs", "-d", "/r", "co"}},
        {"as the fallback", PATHVANE_UNDER_TEST_PATH, true, {"cvs", "co"}},
        // Last, and only once the direct launches have been refused: should the check miss,
        // every level would start another.
        {"in server mode", cvs_link, false, {"cvs", "server"}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        Sandbox sandbox;
        ASSERT_EQ(::link(PATHVANE_UNDER_TEST_PATH, hard_link.c_str()), 0);
        std::string named = c.program;
        if (c.as_fallback) {
            sandbox.remove_fallback();
            std::filesystem::create_symlink(c.program, sandbox.path("fallback"));
            named = sandbox.path("fallback");
        } else {
            sandbox.write_table("/r prog=" + c.program + "\n");
        }
        test::Invocation inv = sandbox.invocation(c.argv);
        inv.input = {{"Root /r\n"}};
        inv.timeout_ms = 5000;
        if (without_proc && !hide_proc(inv))
            GTEST_SKIP() << "no mount namespace to hide /proc in (unshare needs root)";
        test::Outcome outcome = test::run(inv);
        ASSERT_TRUE(outcome.exited);
        ASSERT_EQ(outcome.exit_code, 1);
        EXPECT_EQ(outcome.err, "cvs: " + named + ": is pathvane itself, not run\n");
        EXPECT_EQ(sandbox.record().program, "");
    }
}

TEST(DirectLaunch, NeverRunsItself) {
    if (Sandbox::under_valgrind())
        GTEST_SKIP() << "under valgrind the running executable is valgrind's tool, which no "
                        "table names: the check cannot see pathvane there";
    expect_never_runs_itself(false);
}

#if defined(__linux__)
TEST(DirectLaunch, NeverRunsItselfWithoutProc) {
    if (Sandbox::under_valgrind())
        GTEST_SKIP() << "valgrind runs pathvane from another path than the one it was built for";
    if (Sandbox::sanitized())
        GTEST_SKIP() << "the sanitizers' runtime needs /proc";
    expect_never_runs_itself(true);
}
#endif

// A record as the log daemon gets it: "<priority>pathvane[pid]: text". Returns
// "<priority>text", with the seconds of a session's end, which vary, written as "S".
std::string parse_record(const std::string &datagram, long &pid) {
    static const std::regex format(R"((<\d+>)pathvane\[(\d+)\]: (.*))");
    std::smatch parts;
    if (!std::regex_match(datagram, parts, format))
        return "not as syslog(3) writes: " + datagram;
    pid = std::stol(parts[2]);
    return parts[1].str() +
           std::regex_replace(parts[3].str(), std::regex(R"( seconds=\d+\.\d{3}$)"), " seconds=S");
}

TEST(RoutingRecord, OnePerDecisionAndOneAtTheEndOfASession) {
    // <39> is auth at debug, <38> auth at info; $uid is the test's, and $alpha, $default and
    // $fallback the paths of those programs.
    const struct {
        const char *name;
        std::vector<std::string> argv;
        std::vector<std::string> env = {};
        bool table = true; // the standard table; else none
        std::string root_file = {};
        std::vector<test::Chunk> input = {};
        test::Stdin stdin_mode = test::Stdin::pipe;
        // A session's records, as where its program reads through the relay: where this build
        // reads the stream in place, the route record says so instead and the end record has no
        // byte count.
        std::vector<std::string> records; // what pathvane sends, in order
        bool one_look_settles = true;     // a session's first look at the stream tells enough
    } cases[] = {
        {.name = "-d, a table line, a client of sshd",
         .argv = {"cvs", "-d", "/r1", "co", "m"},
         .env = {"SSH_CONNECTION=192.0.2.7 50022 192.0.2.1 22"},
         .records = {R"(<39>route mode=direct uid=$uid from="192.0.2.7" source="-d" root="/r1" )"
                     R"(program="$alpha" why="table line 2")"}},
        {.name = "CVS/Root, the default entry",
         .argv = {"cvs", "update"},
         .root_file = ":ext:host:/elsewhere\n",
         .records = {R"(<39>route mode=direct uid=$uid source="CVS/Root" )"
                     R"(root=":ext:host:/elsewhere" program="$default" )"
                     R"(why="the default entry at line 5")"}},
        {.name = "CVSROOT with a password and odd bytes",
         .argv = {"cvs", "update"},
         .env = {"CVSROOT=:pserver:anon:p/w@host:/r1\"\xc3\xa9\t"},
         .records = {R"(<39>route mode=direct uid=$uid source="CVSROOT" )"
                     R"(root=":pserver:anon:*@host:/r1\"\303\251\011" program="$default" )"
                     R"(why="the default entry at line 5")"}},
        // The password is masked whatever it holds, as cvs reads the root, or more.
        {.name = "a password, no ':' before the path",
         .argv = {"cvs", "-d", ":pserver:anon:hunter2@cvs.example.org/home/ncvs", "co"},
         .records = {R"(<39>route mode=direct uid=$uid source="-d" )"
                     R"(root=":pserver:anon:*@cvs.example.org/home/ncvs" program="$default" )"
                     R"(why="the default entry at line 5")"}},
        {.name = "a password with '@'",
         .argv = {"cvs", "-d", ":pserver:user:sec@ret@host/r1", "co"},
         .records = {R"(<39>route mode=direct uid=$uid source="-d" root=":pserver:user:*@host/r1" )"
                     R"(program="$default" why="the default entry at line 5")"}},
        {.name = "a password with ':'",
         .argv = {"cvs", "-d", "user:se:cret@host/r1", "co"},
         .records = {R"(<39>route mode=direct uid=$uid source="-d" root="user:*@host/r1" )"
                     R"(program="$default" why="the default entry at line 5")"}},
        {.name = "a password with '@' and '/'",
         .argv = {"cvs", "-d", ":pserver:user:p@ss/word@host:/r1", "co"},
         .records =
             {R"(<39>route mode=direct uid=$uid source="-d" root=":pserver:user:*@host:/r1" )"
              R"(program="$alpha" why="table line 2")"}},
        {.name = "no password, an '@' in the path",
         .argv = {"cvs", "-d", ":ext:host:/r1/a@b", "co"},
         .records = {R"(<39>route mode=direct uid=$uid source="-d" root=":ext:host:/r1/a@b" )"
                     R"(program="$default" why="the default entry at line 5")"}},
        {.name = "no password, a user, ':' and '@' in the path",
         .argv = {"cvs", "-d", ":ext:u@host:/r1/a:b@c", "co"},
         .records = {R"(<39>route mode=direct uid=$uid source="-d" root=":ext:u@host:/r1/a:b@c" )"
                     R"(program="$default" why="the default entry at line 5")"}},
        {.name = "a local root with ':' and '@'",
         .argv = {"cvs", "-d", "/srv/cvs:x@y", "co"},
         .records = {R"(<39>route mode=direct uid=$uid source="-d" root="/srv/cvs:x@y" )"
                     R"(program="$default" why="the default entry at line 5")"}},
        // Roots that cvs refuses, but whose record goes first.
        {.name = "a password with '/', no path",
         .argv = {"cvs", "-d", ":pserver:alice:se/cret@cvs.example.org", "co"},
         .records = {R"(<39>route mode=direct uid=$uid source="-d" )"
                     R"(root=":pserver:alice:*@cvs.example.org" program="$default" )"
                     R"(why="the default entry at line 5")"}},
        {.name = "a password with '@' and '/', no path",
         .argv = {"cvs", "-d", ":pserver:alice:p@ss/word@host", "co"},
         .records = {R"(<39>route mode=direct uid=$uid source="-d" root=":pserver:alice:*@host" )"
                     R"(program="$default" why="the default entry at line 5")"}},
        {.name = "no table",
         .argv = {"cvs", "-d", "/r1", "co"},
         .table = false,
         .records = {R"(<39>route mode=direct uid=$uid source="-d" root="/r1" )"
                     R"(program="$fallback" why="no table: No such file or directory")"}},
        {.name = "no root",
         .argv = {"cvs", "update"},
         .records = {R"(<39>route mode=direct uid=$uid source="none" program="$fallback" )"
                     R"(why="no root")"}},
        {.name = "the Root request, a table line",
         .argv = {"cvs", "server"},
         .env = {"RECORD_EXIT=3"},
         .input = {{"Root /r1\nnoop\n"}, {"relayed\n", 50}},
         .records = {R"(<38>route mode=server uid=$uid source="Root request" root="/r1" )"
                     R"(program="$alpha" why="table line 2")",
                     "<38>end mode=server status=3 bytes=22 seconds=S"}},
        {.name = "the Root request over inetd's connection",
         .argv = {"cvs", "server"},
         .input = {{"Root /r1\n"}},
         .stdin_mode = test::Stdin::tcp,
         .records = {R"(<38>route mode=server uid=$uid from="127.0.0.1" source="Root request" )"
                     R"(root="/r1" program="$alpha" why="table line 2")",
                     "<38>end mode=server status=0 bytes=9 seconds=S"}},
        // The password follows the repository, in the stream alone.
        {.name = "an auth request",
         .argv = {"cvs", "-f", "pserver"},
         .env = {"RECORD_EXIT=1"},
         .input = {{"BEGIN AUTH REQUEST\n/r1\nanon\nAy=0=h<Z\nEND AUTH REQUEST\n"}},
         .stdin_mode = test::Stdin::tcp,
         .records = {R"(<38>route mode=pserver uid=$uid from="127.0.0.1" source="auth request" )"
                     R"(root="/r1" program="$alpha" why="table line 2")",
                     "<38>end mode=pserver status=1 bytes=54 seconds=S"}},
        {.name = "an auth request from an IPv4 client of an IPv6 socket",
         .argv = {"cvs", "pserver"},
         .input = {{"BEGIN AUTH REQUEST\n/r1\n"}},
         .stdin_mode = test::Stdin::tcp_v4_mapped,
         .records = {R"(<38>route mode=pserver uid=$uid from="127.0.0.1" source="auth request" )"
                     R"(root="/r1" program="$alpha" why="table line 2")",
                     "<38>end mode=pserver status=0 bytes=23 seconds=S"}},
        {.name = "the Root request over a socket pair, which has no address",
         .argv = {"cvs", "server"},
         .input = {{"Root /r1\n"}},
         .stdin_mode = test::Stdin::socketpair,
         .records = {R"(<38>route mode=server uid=$uid source="Root request" )"
                     R"(root="/r1" program="$alpha" why="table line 2")",
                     "<38>end mode=server status=0 bytes=9 seconds=S"}},
        {.name = "a verification request through sshd",
         .argv = {"cvs", "pserver"},
         .env = {"SSH_CONNECTION=192.0.2.7 50022 192.0.2.1 22"},
         .input = {{"BEGIN VERIFICATION REQUEST\n:pserver:h:/r1//\n"}},
         .stdin_mode = test::Stdin::tcp,
         .records = {R"(<38>route mode=pserver uid=$uid from="192.0.2.7" source="auth request" )"
                     R"(root=":pserver:h:/r1//" program="$alpha" why="table line 2")",
                     "<38>end mode=pserver status=0 bytes=44 seconds=S"}},
        {.name = "not an auth request",
         .argv = {"cvs", "pserver"},
         .input = {{"BEGIN GSSAPI REQUEST\n"}},
         .records = {R"(<38>route mode=pserver uid=$uid source="none" program="$fallback" )"
                     R"(why="not an auth request")",
                     "<38>end mode=pserver status=0 bytes=21 seconds=S"}},
        {.name = "an empty repository",
         .argv = {"cvs", "pserver"},
         .input = {{"BEGIN AUTH REQUEST\n\nanon\n"}},
         .records = {R"(<38>route mode=pserver uid=$uid source="none" program="$fallback" )"
                     R"(why="an empty repository in the auth request")",
                     "<38>end mode=pserver status=0 bytes=25 seconds=S"}},
        {.name = "no auth request within the size limit",
         .argv = {"cvs", "pserver"},
         .input = {{"BEGIN AUTH REQUEST\n" + std::string(65536, 'x')}},
         .records = {R"(<38>route mode=pserver uid=$uid source="none" program="$fallback" )"
                     R"(why="no auth request within the first 65536 bytes")",
                     "<38>end mode=pserver status=0 bytes=65555 seconds=S"}},
        {.name = "no auth request before the input ended",
         .argv = {"cvs", "pserver"},
         .input = {{"BEGIN AUTH REQUEST\n/r1"}},
         .records = {R"(<38>route mode=pserver uid=$uid source="none" program="$fallback" )"
                     R"(why="no auth request before the input ended")",
                     "<38>end mode=pserver status=0 bytes=22 seconds=S"},
         .one_look_settles = false},
        {.name = "the same from a file, whose end is seen",
         .argv = {"cvs", "pserver"},
         .input = {{"BEGIN AUTH REQUEST\n/r1"}},
         .stdin_mode = test::Stdin::file,
         .records = {R"(<38>route mode=pserver uid=$uid source="none" program="$fallback" )"
                     R"(why="no auth request before the input ended")",
                     "<38>end mode=pserver status=0 bytes=22 seconds=S"}},
        {.name = "a Root request in two pieces",
         .argv = {"cvs", "server"},
         .input = {{"Root /r"}, {"1\n", 150}}, // once pathvane has looked
         .stdin_mode = test::Stdin::socketpair,
         .records = {R"(<38>route mode=server uid=$uid source="Root request" )"
                     R"(root="/r1" program="$alpha" why="table line 2")",
                     "<38>end mode=server status=0 bytes=9 seconds=S"},
         .one_look_settles = false},
        {.name = "no Root request",
         .argv = {"cvs", "server"},
         .input = {{"Valid-responses ok\n"}},
         .records = {R"(<38>route mode=server uid=$uid source="none" program="$fallback" )"
                     R"(why="not a Root request")",
                     "<38>end mode=server status=0 bytes=19 seconds=S"}},
        {.name = "an empty Root request",
         .argv = {"cvs", "server"},
         .input = {{"Root \n"}},
         .records = {R"(<38>route mode=server uid=$uid source="none" program="$fallback" )"
                     R"(why="an empty Root request")",
                     "<38>end mode=server status=0 bytes=6 seconds=S"}},
        {.name = "no Root request within the size limit",
         .argv = {"cvs", "server"},
         .input = {{std::string(65536, ' ') + "\n"}},
         .records = {R"(<38>route mode=server uid=$uid source="none" program="$fallback" )"
                     R"(why="no Root request within the first 65536 bytes")",
                     "<38>end mode=server status=0 bytes=65537 seconds=S"}},
    };
    const int probe = socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const bool ipv6 = probe >= 0;
    if (ipv6)
        close(probe);
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        if (c.stdin_mode == test::Stdin::tcp_v4_mapped && !ipv6)
            continue; // a host without IPv6
        if (!c.one_look_settles && c.input.size() > 1 && Sandbox::under_valgrind())
            continue; // pathvane would start only once all the pieces have come
        Sandbox sandbox;
        test::LogSocket log(sandbox.path("log"));
        if (c.table)
            sandbox.write_table(standard_table());
        if (!c.root_file.empty()) {
            test::make_dir(sandbox.work() + "/CVS");
            test::write_file(sandbox.work() + "/CVS/Root", c.root_file);
        }
        test::Invocation inv = sandbox.invocation(c.argv, c.env);
        inv.input = c.input;
        inv.stdin_mode = c.stdin_mode;
        test::Outcome outcome = test::run(inv);
        EXPECT_EQ(outcome.err, "");
        EXPECT_EQ(outcome.out, "");

        const bool session = c.records.size() == 2;
        const bool in_place = session && c.one_look_settles && test::read_in_place(c.stdin_mode);
        const Sandbox::Record program = sandbox.record();
        EXPECT_EQ(program.fds, "0\n1\n2\n")
            << "nothing of pathvane's is handed on: the log's socket, the relay's pipe";
        if (session) {
            EXPECT_EQ(program.stdin_id == outcome.stdin_id, in_place);
        }
        std::vector<std::string> received;
        std::vector<long> pids;
        for (const std::string &datagram : log.take())
            received.push_back(parse_record(datagram, pids.emplace_back()));
        std::vector<std::string> expected;
        for (std::string record : c.records) {
            record = test::replace_all(record, "$uid", std::to_string(::getuid()));
            record = test::replace_all(record, "$alpha", Sandbox::recorder("alpha"));
            record = test::replace_all(record, "$default", Sandbox::recorder("default"));
            expected.push_back(test::replace_all(record, "$fallback", SANDBOX "/fallback"));
        }
        if (session) {
            expected[0] += in_place ? " stream=in-place" : " stream=relayed";
            if (in_place)
                expected[1] = std::regex_replace(expected[1], std::regex(" bytes=\\d+"), "");
        }
        EXPECT_EQ(received, expected);
        // pathvane's own pid, in each record; in a direct launch, the program's too.
        ASSERT_FALSE(pids.empty());
        EXPECT_EQ(pids, std::vector<long>(expected.size(), pids[0]));
        EXPECT_EQ(pids[0] == program.pid, !session);
    }
}

TEST(RoutingRecord, AFullLogSocketHoldsNothingUp) {
    Sandbox sandbox;
    sandbox.write_table(standard_table());
    test::LogSocket log(sandbox.path("log"));
    const int queued = log.fill();
    test::Invocation inv = sandbox.invocation({"cvs", "-d", "/r1", "co"});
    // A sender that waited for room would wait for ever: the daemon never reads.
    inv.timeout_ms = Sandbox::under_valgrind() ? 20000 : 5000;
    test::Outcome outcome = test::run(inv);
    EXPECT_FALSE(outcome.timed_out);
    EXPECT_EQ(outcome.exit_code, 0);
    EXPECT_EQ(outcome.err, "");
    EXPECT_EQ(sandbox.record().program, "alpha");
    EXPECT_EQ(log.take().size(), static_cast<std::size_t>(queued)) << "the record is dropped";
}

} // namespace
