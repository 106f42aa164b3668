// pathvane-check as the administrator runs it: exit status, output and the usage line.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "log_socket.h"
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
    const std::string usage = "usage: pathvane-check [-f table] [-l | root ... | -- cvs-arguments "
                              "... |\n                      --against table [--records file]]\n";
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
        {"records without a table to compare", {"--records", "-"}, {}, "", 2, "", usage},
        {"a comparison and roots",
         {"--against", SANDBOX "/other.conf", "/r"},
         {},
         "",
         2,
         "",
         usage},
        {"a comparison with nothing to compare",
         {"--against", SANDBOX "/absent.conf"},
         {},
         "",
         2,
         "",
         "pathvane-check: S/absent.conf: No such file or directory\n"},
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

// Before a new table goes live: the records that a built pathvane sent, read back as a log
// file and journalctl print them, tell which roots and how many runs the new table moves.
TEST(PathvaneCheck, ComparesATableAgainstTheRecordsOfRealRuns) {
    Sandbox sandbox;
    const std::string alpha = Sandbox::recorder("alpha"), beta = Sandbox::recorder("beta");
    sandbox.write_table("/r1 prog=" + alpha + "\n/r2 prog=" + beta + "\n");
    test::write_file(sandbox.path("new.conf"), "/r1 prog=" + beta + "\n/r2/ prog=" + beta + "\n");
    test::LogSocket log(sandbox.path("log"));
    const struct {
        std::vector<std::string> argv;
        std::string input;
    } runs[] = {
        {{"cvs", "-d", "/r1", "co", "m"}, ""},
        {{"cvs", "-d", ":ext:user@host:/r1//", "update"}, ""},
        {{"cvs", "server"}, "Root /r1\nValid-responses ok\n"},
        {{"cvs", "-d", "/r2", "co", "m"}, ""},
        {{"cvs", "-d", "/r3", "co", "m"}, ""}, // the fallback's, before and after
        {{"cvs", "-d", "/r1/" + std::string(500, 'x'), "co"}, ""}, // its record cuts the root
    };
    for (const auto &run : runs) {
        test::Invocation inv = sandbox.invocation(run.argv);
        if (!run.input.empty())
            inv.input = {{run.input}};
        ASSERT_EQ(test::run(inv).exit_code, 0);
    }
    // "<38>pathvane[pid]: route ...": every other one as a log file prints it, the others as
    // `journalctl -o cat` does; among them, end records, another program's and bytes of no text.
    std::string records = "\x7f"
                          "ELF\x01\x00\xff\nsshd[7]: Accepted publickey for cvs\n";
    bool as_file = true;
    for (const std::string &datagram : log.take()) {
        const std::string text = datagram.substr(datagram.find('>') + 1);
        records += as_file ? "Dec 10 12:00:00 host " + text : text.substr(text.find(": ") + 2);
        records += '\n';
        as_file = !as_file;
    }
    test::write_file(sandbox.path("records.log"), records);
    const std::string moved = "/r1\t" + alpha + "\ttable line 1\t" + beta +
                              "\ttable line 1\t1\t2\n"
                              "3 roots compared, 1 move; of the records' sessions, 1 of 1 would "
                              "have moved, of their local commands 2 of 4 (at least); records "
                              "whose root was cut short, not compared: 1\n";
    for (bool from_stdin : {false, true}) {
        SCOPED_TRACE(from_stdin ? "records on standard input" : "records in a file");
        test::Invocation inv = sandbox.invocation(
            {"pathvane-check", "-f", SANDBOX "/new.conf", "--against", SANDBOX "/pathvane.conf",
             "--records", from_stdin ? "-" : SANDBOX "/records.log"});
        inv.program = CHECK_UNDER_TEST;
        if (from_stdin)
            inv.input = {{records}};
        test::Outcome outcome = test::run(inv);
        EXPECT_EQ(outcome.exit_code, 1);
        EXPECT_EQ(outcome.out, moved);
    }
}

} // namespace
