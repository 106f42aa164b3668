// pathvane-check as the administrator runs it: exit status, output and the usage line.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sandbox.h"

namespace {

using test::Sandbox;

struct CheckCase {
    const char *name;
    std::vector<std::string> args; // after the program name
    std::vector<std::string> env;
    std::string root_file; // content of CVS/Root in the working directory, if not empty
    int status;
    std::string out; // with the sandbox's path written as S
    std::string err;
};

std::string with_sandbox(const std::string &text) {
    return test::replace_all(text, SANDBOX, "S");
}

TEST(PathvaneCheck, ModesAndExitStatus) {
    const std::string usage =
        "usage: pathvane-check [-f table] [-l | root ... | -- cvs-arguments ...]\n";
    const CheckCase cases[] = {
        {"good table",
         {},
         {},
         "",
         0,
         "",
         "S/pathvane.conf:1: note: no repository at '/r' (no directory /r/CVSROOT)\n"},
        {"other table",
         {"-f", SANDBOX "/other.conf"},
         {},
         "",
         1,
         "",
         "S/other.conf:1: pattern '/only' has no options: line ignored\n"
         "S/other.conf: note: no line names a program: every command runs the fallback program "
         "S/fallback\n"},
        {"table naming pathvane",
         {"-f", SANDBOX "/self.conf"},
         {},
         "",
         1,
         "",
         "S/self.conf:1: program '" PATHVANE_UNDER_TEST_PATH
         "' is pathvane itself, which refuses to run it\n"},
        {"routes",
         {"-l"},
         {},
         "",
         0,
         "/r\t/bin/sh\tS/pathvane.conf:1\n*\tS/fallback\tthe fallback program\n",
         ""},
        {"routes of a root", {"-l", "/r"}, {}, "", 2, "", usage},
        {"missing table",
         {"-f", SANDBOX "/absent.conf"},
         {},
         "",
         2,
         "",
         "pathvane-check: S/absent.conf: No such file or directory\n"},
        {"roots",
         {"/r", ":ext:host:/x//"},
         {},
         "",
         0,
         "root '/r' (compared as '/r'): /bin/sh, from S/pathvane.conf:1\n"
         "root ':ext:host:/x//' (compared as '/x'): S/fallback, the fallback program (no line "
         "applies)\n",
         ""},
        // What comes from the table, a root or CVS/Root reaches the terminal escaped.
        {"root and program with terminal escapes",
         {"-f", SANDBOX "/escapes.conf", "/r\x1b[2K\x7f'"},
         {},
         "",
         0,
         "root '/r\\033[2K\\177\\'' (compared as '/r\\033[2K\\177\\''): "
         "/opt/\\033[31mcvs, from S/escapes.conf:1\n",
         ""},
        {"CVS/Root with terminal escapes",
         {"--", "cvs", "update"},
         {},
         "/r\x1b]0;x\x07\n",
         0,
         "from CVS/Root: root '/r\\033]0;x\\007' (compared as '/r\\033]0;x\\007'): S/fallback, "
         "the fallback program (no line applies)\n",
         ""},
        {"command with -d",
         {"--", "cvs", "-d", "/r", "co", "m"},
         {},
         "",
         0,
         "from the option -d: root '/r' (compared as '/r'): /bin/sh, from S/pathvane.conf:1\n",
         ""},
        {"command with options that take arguments",
         {"--", "cvs", "-z", "9", "-d", "/x", "-d", "/r", "co", "m"},
         {},
         "",
         0,
         "from the option -d: root '/r' (compared as '/r'): /bin/sh, from S/pathvane.conf:1\n",
         ""},
        {"a module named server",
         {"--", "cvs", "co", "server"},
         {"CVSROOT=/r"},
         "",
         0,
         "from CVSROOT: root '/r' (compared as '/r'): /bin/sh, from S/pathvane.conf:1\n",
         ""},
        {"command in a working copy",
         {"--", "cvs", "update"},
         {"CVSROOT=/elsewhere"},
         "/r//\n",
         0,
         "from CVS/Root: root '/r//' (compared as '/r'): /bin/sh, from S/pathvane.conf:1\n",
         ""},
        {"command with CVSROOT",
         {"--", "cvs", "log"},
         {"CVSROOT=:local:/r"},
         "",
         0,
         "from CVSROOT: root ':local:/r' (compared as '/r'): /bin/sh, from S/pathvane.conf:1\n",
         ""},
        {"server mode",
         {"--", "cvs", "server"},
         {"CVSROOT=/r"},
         "",
         0,
         "server mode: the root comes from the client's Root request\n",
         ""},
        {"pserver mode, whatever -d says",
         {"--", "cvs", "-f", "-d", "/r", "pserver"},
         {"CVSROOT=/r"},
         "",
         0,
         "pserver mode: the root comes from the client's auth request\n",
         ""},
        {"no root",
         {"--", "cvs", "--version"},
         {},
         "",
         0,
         "no root: S/fallback, the fallback program; the table is not read\n",
         ""},
        {"version", {"--version"}, {}, "", 0, "pathvane-check " PATHVANE_VERSION "\n", ""},
        {"version with more", {"--version", "/r"}, {}, "", 2, "", usage},
        {"unknown option", {"-x"}, {}, "", 2, "", usage},
        {"-f without table", {"-f"}, {}, "", 2, "", usage},
        {"-- without command", {"--"}, {}, "", 2, "", usage},
    };
    for (const CheckCase &c : cases) {
        SCOPED_TRACE(c.name);
        Sandbox sandbox;
        sandbox.write_table("/r prog=/bin/sh\n");
        test::write_file(sandbox.path("other.conf"), "/only\n");
        test::write_file(sandbox.path("self.conf"), "* prog=" PATHVANE_UNDER_TEST_PATH "\n");
        test::write_file(sandbox.path("escapes.conf"), "/r\x1b[2K\x7f' prog=/opt/\x1b[31mcvs\n");
        if (!c.root_file.empty()) {
            test::make_dir(sandbox.work() + "/CVS");
            test::write_file(sandbox.work() + "/CVS/Root", c.root_file);
        }
        std::vector<std::string> argv{"pathvane-check"};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        test::Invocation inv = sandbox.invocation(argv, c.env);
        inv.program = CHECK_UNDER_TEST;
        test::Outcome outcome = test::run(inv);
        EXPECT_EQ(outcome.exit_code, c.status);
        EXPECT_EQ(with_sandbox(outcome.out), c.out);
        EXPECT_EQ(with_sandbox(outcome.err), c.err);
    }
}

} // namespace
