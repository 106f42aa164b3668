#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

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

    // What pathvane-check reports on `text`, with the file name shortened to "T".
    std::string check(const std::string &text, mode_t mode = 0644) {
        test::write_file(table, text);
        chmod(table.c_str(), mode);
        std::string out =
            printed([&](std::FILE *f) { status = pathvane::check_table(table.c_str(), f); });
        std::string shortened;
        for (std::size_t at = 0, next; at < out.size(); at = next) {
            next = out.find('\n', at) + 1;
            std::string line = out.substr(at, next - at);
            if (line.starts_with(table))
                line.replace(0, table.size(), 1, 'T');
            // Tests may run as any user; ownership is checked below.
            if (line != "T: not owned by root\n")
                shortened += line;
        }
        return shortened;
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
    };
    for (const auto &c : cases) {
        EXPECT_EQ(check(c.table), c.report) << c.table;
        EXPECT_EQ(status, c.report.empty() ? 0 : 1) << c.table;
    }
}

TEST_F(CheckTable, ReportsATableThatOthersCanChange) {
    EXPECT_EQ(check("/r prog=/bin/sh\n", 0664), "T: writable by group or others\n");
    EXPECT_EQ(check("/r prog=/bin/sh\n", 0646), "T: writable by group or others\n");
    if (getuid() == 0) {
        test::write_file(table, "/r prog=/bin/sh\n");
        chmod(table.c_str(), 0644);
        ASSERT_EQ(chown(table.c_str(), 65534, 65534), 0);
        std::string out =
            printed([&](std::FILE *f) { status = pathvane::check_table(table.c_str(), f); });
        EXPECT_EQ(out, table + ": not owned by root\n");
        EXPECT_EQ(status, 1);
    }
}

TEST_F(CheckTable, UnreadableTable) {
    std::string out =
        printed([&](std::FILE *f) { status = pathvane::check_table((dir / "absent").c_str(), f); });
    EXPECT_EQ(status, 2);
    EXPECT_EQ(out, ""); // the reason goes to stderr, with the program's name
    test::make_dir(dir / "subdir");
    pathvane::check_table((dir / "subdir").c_str(), stderr);
    EXPECT_EQ(pathvane::check_table((dir / "subdir").c_str(), stderr), 2);
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
