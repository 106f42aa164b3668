#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <grp.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

#include "files.h"
#include "table_check.h"

namespace {

using namespace std::string_literals;

// Runs `function` with a FILE that collects what it prints.
template <typename Function> std::string printed(Function function) {
    char *text = nullptr;
    std::size_t size = 0;
    std::FILE *out = open_memstream(&text, &size);
    function(out);
    std::fclose(out);
    std::string result(text, size);
    std::free(text);
    return result;
}

class CheckTable : public ::testing::Test {
  protected:
    test::TempDir dir;
    std::string table = dir / "pathvane.conf";
    int status = -1;

    // The installed pathvane as the checker is told of it, another name for it, and a
    // repository, all under "$D" in tables and reports.
    void SetUp() override {
        test::write_file(dir / "pathvane", "#!/bin/sh\n");
        chmod((dir / "pathvane").c_str(), 0755);
        ASSERT_EQ(symlink("pathvane", (dir / "cvs").c_str()), 0);
        test::make_dir(dir / "repo");
        test::make_dir(dir / "repo/CVSROOT");
        // Programs that not every user can execute, where every user can search.
        chmod(dir.path().c_str(), 0755);
        test::make_dir(dir / "private");
        chmod((dir / "private").c_str(), 0700);
        for (auto [name, mode] :
             {std::pair{"owner-only", 0700}, {"group-only", 0750}, {"private/cvs", 0755}}) {
            test::write_file(dir / name, "#!/bin/sh\n");
            chmod((dir / name).c_str(), static_cast<mode_t>(mode));
        }
    }

    // What pathvane-check reports on `text`, with the file name shortened to "T". Notes are
    // left out unless `notes` says otherwise.
    std::string check(const std::string &text, mode_t mode = 0644, bool notes = false,
                      const std::string &fallback = "/bin/sh") {
        test::write_file(table, test::replace_all(text, "$D", dir.path()));
        chmod(table.c_str(), mode);
        pathvane::ProgramTable setup{table.c_str(), fallback.c_str()};
        std::string out = printed([&](std::FILE *f) {
            status = pathvane::check_table(setup, (dir / "pathvane").c_str(), f);
        });
        std::string shortened;
        for (std::size_t at = 0, next; at < out.size(); at = next) {
            next = out.find('\n', at) + 1;
            std::string line = out.substr(at, next - at);
            if (line.starts_with(table))
                line.replace(0, table.size(), 1, 'T');
            // Tests may run as any user; ownership is checked below.
            if (line != "T: not owned by root\n" && (notes || line.find(": note: ") == line.npos))
                shortened += line;
        }
        return test::replace_all(shortened, dir.path(), "$D");
    }
};

TEST_F(CheckTable, SilentWhenAllIsWell) {
    EXPECT_EQ(check("# routes\n\n/home/ncvs prog=/bin/sh mode=1\n"
                    "/home/new  prog = /bin/true   # moved\n"
                    "*          prog=/bin/false\n"),
              "");
    EXPECT_EQ(status, getuid() == 0 ? 0 : 1);
}

TEST_F(CheckTable, ReportsEachLineThatIsPassedOverOrCannotTakeEffect) {
    const struct {
        std::string table;
        std::string report;
    } cases[] = {
        {"/only\n", "T:1: pattern '/only' has no options: line ignored\n"},
        {"/r opt ,prog=/bin/sh\n",
         "T:1: key 'opt' not followed by '=': ignored from there on: 'opt ,prog=/bin/sh'\n"
         "T:1: no 'prog' option: the line has no effect\n"},
        {"/r ,prog=/bin/sh\n",
         "T:1: option text not followed by '=': ignored from there on: ',prog=/bin/sh'\n"
         "T:1: no 'prog' option: the line has no effect\n"},
        {"/r prog=\n", "T:1: 'prog=' without a value at the end of the line: ignored\n"
                       "T:1: no 'prog' option: the line has no effect\n"},
        {"/r prog=,mode=1\n", "T:1: empty program path\n"},
        {"/r mode=1\n", "T:1: no 'prog' option: the line has no effect\n"},
        {"host:/r prog=/bin/sh\n", "T:1: pattern 'host:/r' holds ':' and never applies: roots are "
                                   "compared after their last ':'\n"},
        {"/r prog=/bin/sh\n/r// prog=/bin/true\n",
         "T:2: pattern '/r' is shadowed by line 1, which applies first\n"},
        {"/r mode=1\n/r prog=/bin/true\n", "T:1: no 'prog' option: the line has no effect\n"},
        {"* prog=/bin/sh\n/r prog=/bin/true\n*x prog=/bin/true\n",
         "T:3: default entry replaces the one on line 1\n"},
        {"/r prog=/nonexistent/cvs\n",
         "T:1: program '/nonexistent/cvs': No such file or directory\n"},
        {"/r prog=/etc/passwd\n", "T:1: program '/etc/passwd' is not executable\n"},
        {"/r prog=/tmp\n", "T:1: program '/tmp' is not executable\n"},
        {"/r prog=/bin/sh, prog=/bin/true\n",
         "T:1: only the first 'prog' counts: 'prog=/bin/true' is ignored\n"},
        {"/r prog=/bin/sh\0garbage\n"s, "T:1: NUL byte: the rest of the line is ignored\n"},
        {"/r\0 prog=/bin/sh\n"s, "T:1: NUL byte: the rest of the line is ignored\n"
                                 "T:1: pattern '/r' has no options: line ignored\n"},
        {"/r prog=/bin/sh", ""}, // a last line without newline is a line like the others
        // The comment is cut first: a NUL byte inside it cuts nothing.
        {"# old\0\n/r prog=/bin/sh # moved\0 here\n"s, ""},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(check(c.table), c.report) << c.table;
        EXPECT_EQ(status, c.report.empty() ? 0 : 1) << c.table;
    }
}

// Mistakes that pathvane passes over, and notes that leave the status as it is.
TEST_F(CheckTable, ReportsTheNaturalMistakes) {
    const struct {
        std::string table;
        std::string report; // notes included
        int status = 1;     // as root: ownership is not reported then
        mode_t mode = 0644;
        std::string fallback = "/bin/sh";
    } cases[] = {
        {.table = "$D/repo prog=cvs-1.12\n",
         .report = "T:1: program 'cvs-1.12' is not an absolute path: pathvane would run it from "
                   "the caller's working directory\n"},
        {.table = "$D/repo prog=$D/cvs\n* prog=$D/pathvane\n",
         .report = "T:1: program '$D/cvs' is pathvane itself, which refuses to run it\n"
                   "T:2: program '$D/pathvane' is pathvane itself, which refuses to run it\n"},
        {.table = "$D/repo prog=/bin/sh -f owner=ops --allow-root=/x  # old\n",
         .report = "T:1: '-f --allow-root=/x' after the program is ignored: the program gets the "
                   "command's own arguments, no others\n"},
        {.table = "$D/repo prog=/bin/sh , owner=ops,, mode = 1\n", .report = "", .status = 0},
        {.table = "srv/cvs prog=/bin/sh\n",
         .report = "T:1: pattern 'srv/cvs' is not an absolute path, as the path of every "
                   "repository is\n"},
        {.table = "2401//srv/cvs/ prog=/bin/sh\n",
         .report = "T:1: note: pattern '2401/srv/cvs' is not an absolute path: it applies only "
                   "to roots with a port, such as ':pserver:host:2401/srv/cvs'\n",
         .status = 0},
        {.table = "/srv/cvs\x1b/* prog=/bin/sh\n*/srv/* prog=/bin/sh\n",
         .report = "T:1: pattern '/srv/cvs\\033/*' holds '*' past its first byte: patterns are "
                   "no globs, only a leading '*' has a meaning (a default entry)\n"
                   "T:2: pattern '*/srv/*' holds '*' past its first byte: patterns are no globs, "
                   "only a leading '*' has a meaning (a default entry)\n"},
        {.table = "*ncvs prog=/bin/sh\n",
         .report = "T:1: note: default entry '*ncvs': what follows the '*' is ignored\n",
         .status = 0},
        {.table = "$D/repo/ prog=/bin/sh\n$D/rep prog=/bin/sh\n$D/pathvane prog=/bin/sh\n"
                  "$D/rep// prog=/bin/sh\n",
         .report = "T:2: note: no repository at '$D/rep' (no directory $D/rep/CVSROOT)\n"
                   "T:3: note: no repository at '$D/pathvane' (no directory $D/pathvane/CVSROOT)\n"
                   "T:4: pattern '$D/rep' is shadowed by line 2, which applies first\n"},
        {.table = "$D/repo prog=/bin/sh\n",
         .report = "T: not readable by every user: for those "
                   "who cannot read it, every command runs the "
                   "fallback program\n",
         .mode = 0640},
        {.table = "# $D/repo prog=/bin/sh\n$D/repo mode=1\n",
         .report = "T:2: no 'prog' option: the line has no effect\n"
                   "T: note: no line names a program: every command runs the fallback program "
                   "/bin/sh\n"},
        {.table = "",
         .report = "T: note: no line names a program: every command runs the fallback program "
                   "$D/ncvs\n"
                   "fallback program '$D/ncvs': No such file or directory\n",
         .fallback = "$D/ncvs"},
        {.table = "* prog=/bin/sh\n",
         .report = "fallback program '/etc/passwd' is not executable\n",
         .fallback = "/etc/passwd"},
        {.table = "* prog=/bin/sh\n",
         .report = "fallback program '$D/cvs' is pathvane itself, which refuses to run it\n",
         .fallback = "$D/cvs"},
        // Root may execute what nobody else can.
        {.table = "$D/repo prog=$D/owner-only\n",
         .report = "T:1: program '$D/owner-only' is executable only by its owner: for every "
                   "other user, the command fails with 'Permission denied'\n"},
        {.table = "* prog=/bin/sh\n",
         .report = "fallback program '$D/owner-only' is executable only by its owner: for every "
                   "other user, the command fails with 'Permission denied'\n",
         .fallback = "$D/owner-only"},
        {.table = "$D/repo prog=$D/group-only\n",
         .report = "T:1: note: program '$D/group-only' is executable only by its owner and "
                   "group $G: for every other user, the command fails with 'Permission denied'\n",
         .status = 0},
        {.table = "$D/repo prog=$D/private/cvs\n",
         .report = "T:1: program '$D/private/cvs' lies in '$D/private', which only its owner "
                   "can search: for every other user, the command fails with 'Permission "
                   "denied'\n"},
    };
    // The group that the programs were created with.
    struct stat created {};
    ASSERT_EQ(stat((dir / "group-only").c_str(), &created), 0);
    const group *own_group = getgrgid(created.st_gid);
    const std::string group_name = own_group ? own_group->gr_name : std::to_string(created.st_gid);
    for (const auto &c : cases) {
        EXPECT_EQ(check(c.table, c.mode, true, test::replace_all(c.fallback, "$D", dir.path())),
                  test::replace_all(c.report, "$G", group_name))
            << c.table;
        EXPECT_EQ(status, getuid() == 0 ? c.status : 1) << c.table;
    }
}

TEST_F(CheckTable, ReportsATableThatOthersCanChange) {
    EXPECT_EQ(check("/r prog=/bin/sh\n", 0664), "T: writable by group or others\n");
    EXPECT_EQ(check("/r prog=/bin/sh\n", 0646), "T: writable by group or others\n");
    if (getuid() == 0) {
        test::write_file(table, dir / "repo prog=/bin/sh\n");
        chmod(table.c_str(), 0644);
        ASSERT_EQ(chown(table.c_str(), 65534, 65534), 0);
        std::string out = printed([&](std::FILE *f) {
            status = pathvane::check_table({table.c_str(), "/bin/sh"}, "/bin/true", f);
        });
        EXPECT_EQ(out, table + ": not owned by root\n");
        EXPECT_EQ(status, 1);
    }
}

TEST_F(CheckTable, UnreadableTable) {
    std::string absent = dir / "absent";
    std::string out = printed([&](std::FILE *f) {
        status = pathvane::check_table({absent.c_str(), "/bin/sh"}, "/bin/true", f);
    });
    EXPECT_EQ(status, 2);
    EXPECT_EQ(out, ""); // the reason goes to stderr, with the program's name
    test::make_dir(dir / "subdir");
    EXPECT_EQ(pathvane::check_table({(dir / "subdir").c_str(), "/bin/sh"}, "/bin/true", stderr), 2);
}

TEST(ExplainRoot, SaysWhichProgramAndWhy) {
    test::TempDir dir;
    std::string table = dir / "t.conf";
    test::write_file(table, "# routes\n/home/repo prog=/opt/new\n* prog=/opt/default\n"
                            "/home/old prog=/opt/old\n");
    const struct {
        const char *root;
        std::string answer;
    } cases[] = {
        {":ext:host:/home//repo/",
         "root ':ext:host:/home//repo/' (compared as '/home/repo'): /opt/new, from T:2\n"},
        {"/home/old", "root '/home/old' (compared as '/home/old'): /opt/old, from T:4\n"},
        {"/elsewhere", "root '/elsewhere' (compared as '/elsewhere'): /opt/default, from the "
                       "default entry at T:3\n"},
    };
    for (const auto &c : cases) {
        std::string out = printed([&](std::FILE *f) {
            pathvane::explain_root({table.c_str(), "/fb"}, c.root, f);
        });
        EXPECT_EQ(out.replace(out.find(table), table.size(), 1, 'T'), c.answer);
    }
    test::write_file(table, "/home/repo prog=/opt/new\n");
    EXPECT_EQ(printed([&](std::FILE *f) {
                  pathvane::explain_root({table.c_str(), "/fb"}, "/x", f);
              }),
              "root '/x' (compared as '/x'): /fb, the fallback program (no line applies)\n");
    EXPECT_EQ(printed([&](std::FILE *f) {
                  pathvane::explain_root({(dir / "absent").c_str(), "/fb"}, "/x", f);
              }),
              "root '/x' (compared as '/x'): /fb, the fallback program (" + (dir / "absent") +
                  ": No such file or directory)\n");
}

} // namespace

TEST(ListRoutes, InTheOrderTheyApply) {
    test::TempDir dir;
    std::string table = dir / "t.conf";
    auto listed = [&] {
        int status = -1;
        std::string out = printed([&](std::FILE *f) {
            status = pathvane::list_routes({table.c_str(), "/fb"}, f);
        });
        return test::replace_all(out, table, "T") + "status " + std::to_string(status);
    };
    test::write_file(table,
                     "/home/repo prog=/opt/new\n* prog=/opt/a\n/home//repo/ prog=/opt/later\n"
                     "host:/x prog=/opt/never\n/home/old mode=1\n/home/old prog=/opt/old\n"
                     "/ prog=/opt/root # every root of slashes\n*x prog=/opt/default\n"
                     "srv/cvs prog=/opt/rel\n/empty prog=,x=1\n/cut prog=/opt/c\0ut\n"s);
    EXPECT_EQ(listed(), "/home/repo\t/opt/new\tT:1\n/home/old\t/opt/old\tT:6\n/\t/opt/root\tT:7\n"
                        "srv/cvs\t/opt/rel\tT:9\n/empty\t\tT:10\n/cut\t/opt/c\tT:11\n"
                        "*\t/opt/default\tT:8, the default entry\nstatus 0");
    test::write_file(table, "/r prog=/opt/r\n* mode=1\n");
    EXPECT_EQ(listed(), "/r\t/opt/r\tT:1\n*\t/fb\tthe fallback program\nstatus 0");
    test::write_file(table, "");
    EXPECT_EQ(listed(), "*\t/fb\tthe fallback program\nstatus 0");
    table = dir / "absent";
    EXPECT_EQ(listed(), "status 2");
}

TEST(CompareTables, PrintsEachRootThatMoves) {
    test::TempDir dir;
    const std::string before = dir / "old.conf", now = dir / "new.conf";
    const struct {
        const char *name;
        std::string before, now;
        std::string moves; // with the fallback /bin/true
    } cases[] = {
        {"identical tables", "/r prog=/bin/sh\n* prog=/bin/cat\n",
         "/r prog=/bin/sh\n* prog=/bin/cat\n", ""},
        {"the same routes, written otherwise", "/a prog=/bin/sh\n/r/ prog=/bin/sh\n",
         "# moved\n//r prog=/bin/sh\n/a prog=/bin/sh mode=1\n", ""},
        {"a pattern that moves", "/home/ncvs prog=/bin/sh\n", "/home/cvs prog=/bin/sh\n",
         "/home/cvs\t/bin/true\tno entry for the root\t/bin/sh\ttable line 1\n"
         "/home/ncvs\t/bin/sh\ttable line 1\t/bin/true\tno entry for the root\n"},
        {"a line that lost prog=", "/r prog=/bin/sh\n* prog=/bin/cat\n",
         "/r  /bin/sh\n* prog=/bin/cat\n",
         "/r\t/bin/sh\ttable line 1\t/bin/cat\tthe default entry at line 2\n"},
        // The root of a line with no options at all gets a row of its own where the default
        // entry changes, as the records may count it.
        {"a line without options, and another default entry", "* prog=/bin/cat\n",
         "/r//\n* prog=/bin/ls\n",
         "/r\t/bin/cat\tthe default entry at line 1\t/bin/ls\tthe default entry at line 2\n"
         "*\t/bin/cat\tthe default entry at line 1\t/bin/ls\tthe default entry at line 2\n"},
        {"a new default entry", "/r prog=/bin/sh\n", "/r prog=/bin/sh\n* prog=/bin/cat\n",
         "*\t/bin/true\tno entry for the root\t/bin/cat\tthe default entry at line 2\n"},
        {"a root that reaches the terminal escaped", "/r\x1b[2K prog=/bin/sh\n", "",
         "/r\\033[2K\t/bin/sh\ttable line 1\t/bin/true\tno entry for the root\n"},
        {"an earlier line now applies first", "/ prog=/bin/sh\n/r prog=/bin/cat\n",
         "/r prog=/bin/ls\n/ prog=/bin/sh\n/r prog=/bin/cat\n",
         "/r\t/bin/cat\ttable line 2\t/bin/ls\ttable line 1\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        test::write_file(before, c.before);
        test::write_file(now, c.now);
        int status = -1;
        std::string report;
        std::string out = printed([&](std::FILE *f) {
            report = printed([&](std::FILE *r) {
                status = pathvane::compare_tables({now.c_str(), "/bin/true"}, before.c_str(),
                                                  nullptr, "/nonexistent/pathvane", f, r);
            });
        });
        EXPECT_EQ(out, c.moves);
        // The new table is checked as well: a line without "prog" is reported, and a table that
        // root does not own.
        bool reported = false;
        for (std::size_t at = 0; at < report.size(); at = report.find('\n', at) + 1)
            reported |= report.compare(report.find(": ", at), 8, ": note: ") != 0;
        EXPECT_EQ(status, !c.moves.empty() || reported ? 1 : 0) << report;
    }
    // What cannot be read ends it, with status 2: either table, or the log of records.
    for (const auto &unreadable :
         {std::pair{dir / "absent", (const char *)nullptr}, {before, "/nonexistent/log"}}) {
        std::string out = printed([&](std::FILE *f) {
            EXPECT_EQ(pathvane::compare_tables({now.c_str(), "/fb"}, unreadable.first.c_str(),
                                               unreadable.second, "/nonexistent/pathvane", f,
                                               stderr),
                      2);
        });
        EXPECT_EQ(out, "");
    }
}
