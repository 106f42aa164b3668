#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <iterator>
#include <optional>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "files.h"
#include "plain_lookup.h"
#include "program_table.h"

using pathvane::lookup_program;
using pathvane::normalize_path;

namespace {

const char fallback[] = "FALLBACK";

std::string normalized(std::string path) {
    normalize_path(path.data());
    return path.c_str();
}

TEST(NormalizePath, SqueezesSlashesAndDropsTrailingOnes) {
    const struct {
        const char *in, *out;
    } cases[] = {
        {"/home//repo/", "/home/repo"},
        {"a//b", "a/b"},
        {"/", ""},
        {"//", ""},
        {"a/b", "a/b"},
        {"", ""},
        {"///a///b///", "/a/b"},
        {"a", "a"},
        {"x:/r//", "x:/r"},
        {"/r/./", "/r/."},
        {"\xc3\xa9//", "\xc3\xa9"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(normalized(c.in), c.out) << "input '" << c.in << "'";
}

TEST(NormalizePath, LengthFormStopsAtTheLengthGiven) {
    char text[] = "/a//b//XYZ";
    EXPECT_EQ(normalize_path(text, 6), 4u);
    EXPECT_EQ(std::string(text, 4), "/a/b");
}

struct LookupCase {
    const char *name;
    std::string table;
    const char *root;
    const char *expected;
};

class Lookup : public ::testing::Test {
  protected:
    test::TempDir dir;
    std::string lookup(const std::string &table, const char *root) {
        test::write_file(dir / "table", table);
        pathvane::Program program = lookup_program({(dir / "table").c_str(), fallback}, root);
        return program.path;
    }
};

TEST_F(Lookup, TableExamples) {
    using namespace std::string_literals;
    const LookupCase cases[] = {
        {"pattern alone is ignored", "/home/repo\n", "/home/repo", fallback},
        {"root is normalised", "/home/repo prog=/usr/local/bin/cvs\n", "/home/repo/",
         "/usr/local/bin/cvs"},
        {"pattern is normalised", "//home//repo// prog=/p\n", "/home/repo", "/p"},
        {"later default replaces earlier", "* prog=/opt/a\n* prog=/opt/b\n", "/x", "/opt/b"},
        {"applying line before default", "/r prog=/opt/x\n* prog=/opt/d\n", "/r", "/opt/x"},
        {"default before applying line", "* prog=/opt/d\n/r prog=/opt/x\n", "/r", "/opt/x"},
        {"default for other roots", "* prog=/opt/d\n/r prog=/opt/x\n", "/s", "/opt/d"},
        {"other keys passed over", "/r mode=1 prog=/opt/x\n", "/r", "/opt/x"},
        {"whitespace around =", "/r prog = /opt/x\n", "/r", "/opt/x"},
        {"tabs around =", "/r\tprog\t=\t/opt/x\n", "/r", "/opt/x"},
        {"comment after value", "/r prog=/opt/x # old server\n", "/r", "/opt/x"},
        {"comment glued to value", "/r prog=/opt/x#old\n", "/r", "/opt/x"},
        {"commented-out line", "# /r prog=/opt/x\n", "/r", fallback},
        {"key without = ends line", "/r opt ,prog=/opt/x\n", "/r", fallback},
        {"prog= at end of line", "/r prog=\n", "/r", fallback},
        {"prog= then whitespace only", "/r prog=  \t\n", "/r", fallback},
        {"prog= at end, search goes on", "/r prog=\n* prog=/d\n", "/r", "/d"},
        {"empty value before comma", "/r prog=,mode=1\n", "/r", ""},
        {"empty value after blank", "/r prog= ,mode=1\n", "/r", ""},
        {"default entry *old", "*old prog=/opt/d\n", "/x", "/opt/d"},
        {"default entry **", "** prog=/opt/d\n", "/x", "/opt/d"},
        {"default entry */x", "*/x prog=/opt/d\n", "/x", "/opt/d"},
        {"case-sensitive root", "/home/repo prog=/a\n", "/Home/repo", fallback},
        {"pattern with colon never applies", "h:/r prog=/a\n", "h:/r", fallback},
        {"lone * ignored", "*\n", "/x", fallback},
        {"lone * then applying line", "*\n/r prog=/x\n", "/r", "/x"},
        {"root / matches pattern /", "/ prog=/slash\n", "/", "/slash"},
        {"root // matches pattern /", "/ prog=/slash\n", "//", "/slash"},
        {"empty root matches pattern /", "/ prog=/slash\n", "", "/slash"},
        {"empty root, no pattern", "/r prog=/x\n", "", fallback},
        {"last line without newline", "/a prog=/x\n/r prog=/y", "/r", "/y"},
        {"only line without newline", "/r prog=/y", "/r", "/y"},
        {"carriage-return line ends", "/q prog=/w\r\n/r prog=/opt/x\r\n", "/r", "/opt/x"},
        {"pattern then carriage return", "/r\r\n/r prog=/b\n", "/r", "/b"},
        {"method and host dropped", "/home/repo prog=/p\n", ":pserver:host:/home/repo/", "/p"},
        {"ext root", "/home/repo prog=/p\n", ":ext:host:/home//repo", "/p"},
        {"port stays in front", "99/home/repo prog=/q\n", "host:99/home/repo", "/q"},
        {"NUL ends the value", "/r prog=/x\0y\n"s, "/r", "/x"},
        {"NUL ends the line", "/r\0 prog=/x\n/r prog=/y\n"s, "/r", "/y"},
        {"first prog on a line wins", "/r prog=/a prog=/b\n", "/r", "/a"},
        {"default keeps its first prog", "* prog=/a prog=/b\n", "/x", "/a"},
        {"applying line without prog", "/r mode=1\n/r prog=/b\n", "/r", "/b"},
        {"blank before comma ends line", "/r a=1 ,prog=/x\n", "/r", fallback},
        {"comma separates", "/r a=1,prog=/x\n", "/r", "/x"},
        {"comma and blank separate", "/r a=1, prog=/x\n", "/r", "/x"},
        {"value ends at comma", "/r prog=/x,mode=1\n", "/r", "/x"},
        {"high bytes in value", "/r prog=/opt/\xc3\xa9\n", "/r", "/opt/\xc3\xa9"},
        {"key is case-sensitive", "/r PROG=/x\n", "/r", fallback},
        {"empty key passed over", "/r =1 prog=/x\n", "/r", "/x"},
        {"punctuation in key ends line", "/r pro-g=/y prog=/x\n", "/r", fallback},
        {"leading whitespace", "  \t/r\tprog=/x\n", "/r", "/x"},
        {"vertical tab and form feed are whitespace", "/r\vprog=\f/x\n", "/r", "/x"},
        {"blank lines and comments", "\n\n   \n# c\n/r prog=/x\n", "/r", "/x"},
        {"empty table", "", "/r", fallback},
        {"root differs", "/r prog=/x\n", "/rr", fallback},
        {"whole root has no colon", "/a/b prog=/x\n", "/a/b", "/x"},
        {"last colon wins", "c prog=/x\n", "a:b:c", "/x"},
    };
    for (const LookupCase &c : cases)
        EXPECT_EQ(lookup(c.table, c.root), c.expected) << c.name;
}

TEST_F(Lookup, LinesOfAnyLength) {
    std::string long_options(300000, ' ');
    std::string long_pattern = "/" + std::string(200000, 'p');
    std::string table = "/r" + long_options + "prog=/x\n" + long_pattern + " prog=/long\n";
    EXPECT_EQ(lookup(table, "/r"), "/x");
    EXPECT_EQ(lookup(table, long_pattern.c_str()), "/long");
    std::string long_value = "/" + std::string(100000, 'v');
    EXPECT_EQ(lookup("/r prog=" + long_value, "/r"), long_value);
}

TEST_F(Lookup, ManyLinesAcrossReadBuffers) {
    std::string table;
    for (int i = 0; i < 20000; ++i)
        table += "/repo" + std::to_string(i) + " prog=/bin/p" + std::to_string(i) + "\n";
    EXPECT_EQ(lookup(table, "/repo0"), "/bin/p0");
    EXPECT_EQ(lookup(table, "/repo12345"), "/bin/p12345");
    EXPECT_EQ(lookup(table, "/repo19999"), "/bin/p19999");
    EXPECT_EQ(lookup(table, "/repo20000"), fallback);
    // The first read ends inside a line, before the part of the root that the line holds.
    EXPECT_EQ(lookup(std::string(65526, '#') + "\n/straddle/target prog=/s\n", "/straddle/target"),
              "/s");
}

// The lookup passes over lines that hold neither a piece of the root nor a '*'; it must choose
// what reading every line chooses, with the same line number, across read buffers too.
TEST_F(Lookup, PassingOverLinesAgreesWithReadingEachLine) {
    std::mt19937 random(16);
    auto pick = [&](std::initializer_list<const char *> from) {
        return std::string(from.begin()[random() % from.size()]);
    };
    // One call of random() per statement, so that every compiler builds the same tables.
    auto path = [&] {
        std::string text = random() % 8 == 0 ? "" : "/";
        for (unsigned n = random() % 4; n > 0; --n) {
            if (random() % 2 == 0)
                text += pick({"home", "cvs", "src", "srcx", "ab"});
            else
                text += "p" + std::to_string(random() % 40);
            std::size_t slashes = 1 + random() % 3;
            text += std::string(random() % 2 == 0 ? 1 : slashes, '/');
        }
        return text;
    };
    // Mostly lines for other roots; now and then a default entry, a '*' elsewhere, a comment,
    // a NUL byte or a carriage return.
    auto line = [&] {
        std::string text = random() % 8 == 0 ? pick({"*", "*old", "# *", "#", "@", "\t"}) : "";
        text += path();
        text += pick({" prog=", " mode=1, prog=", "\tprog = ", " ", ""});
        text += path();
        if (random() % 8 == 0)
            text += pick({"# src", " @*", "\r", "*", "#p1"});
        std::replace(text.begin(), text.end(), '@', '\0');
        return text + "\n";
    };
    const std::string file = dir / "table";
    const pathvane::ProgramTable setup{file.c_str(), fallback};
    for (int round = 0; round < 800; ++round) {
        std::string table;
        std::size_t size = round % 50 == 0 ? 200000 : 1 + random() % 2000;
        while (table.size() < size)
            table += line();
        if (random() % 4 == 0)
            table.pop_back(); // a last line without newline
        test::write_file(file, table);
        for (int i = 0; i < 5; ++i) {
            std::string root = pick({"", ":ext:h:", "h:99"}) + path();
            if (i < 2) { // the pattern of a line, often the one at the end of the first read
                std::size_t at = random() % table.size();
                if (i == 0 && table.size() > 65536)
                    at = 65536 - random() % 64;
                std::size_t begin = at == 0 ? 0 : table.rfind('\n', at - 1) + 1; // npos + 1 is 0
                root = table.substr(begin, table.find_first_of(" \t\n", begin) - begin);
            }
            pathvane::Program got = lookup_program(setup, root.c_str());

            test::PlainAnswer expected =
                test::lookup_reading_every_line(setup.path, fallback, root.c_str());
            ASSERT_EQ(got.path, expected.program) << "root '" << root << "' table:\n" << table;
            ASSERT_EQ(got.line, expected.line) << "root '" << root << "' table:\n" << table;
        }
    }
}

TEST_F(Lookup, MissingOrUnreadableTableGivesTheFallback) {
    EXPECT_STREQ(lookup_program({(dir / "absent").c_str(), fallback}, "/r").path, fallback);
    test::make_dir(dir / "subdir");
    EXPECT_STREQ(lookup_program({(dir / "subdir").c_str(), fallback}, "/r").path, fallback);
}

// A line as the checker splits it, and as the lookup of "/r" reads it.
TEST(TableLine, SplitForTheCheckerAndMatchedForTheLookup) {
    using Kind = pathvane::TableEntry::Kind;
    const struct {
        const char *line;
        Kind kind;
        const char *pattern;
        bool is_default;
        std::optional<std::string> program; // what the line names for "/r"
    } cases[] = {
        {"   # only a comment\n", Kind::empty, "", false, {}},
        {"/r\n", Kind::pattern_only, "/r", false, {}},
        {"/s// prog=/x\n", Kind::entry, "/s", false, {}},
        {"*x prog=/x\n", Kind::default_entry, "*x", true, "/x"},
        {"* mode=1\n", Kind::default_entry, "*", true, {}},
        {"/r/ prog=/x\n", Kind::entry, "/r", false, "/x"},
        {"/r/ mode=1, prog=/y prog=/z\n", Kind::entry, "/r", false, "/y"},
    };
    for (const auto &c : cases) {
        std::string line = c.line;
        pathvane::TableEntry entry = pathvane::split_table_line(line);
        EXPECT_EQ(entry.kind, c.kind) << c.line;
        EXPECT_EQ(entry.pattern, c.pattern) << c.line;
        line = c.line;
        pathvane::TableMatch match = pathvane::match_table_line(line, "/r");
        EXPECT_EQ(match.is_default, c.is_default) << c.line;
        EXPECT_EQ(match.program, c.program) << c.line;
    }
}

TEST(TableLine, TheLookupAgreesWithTheExactSplit) {
    // The lookup turns a line for another root away early; it must name exactly the program
    // that the full split and the options show for the root.
    std::mt19937 random(7);
    const char bytes[] = "//ab*# \t\0=p";
    const std::string roots[] = {"", "a", "/a", "/a/b", "ab", "/"};
    for (int round = 0; round < 200000; ++round) {
        std::string line(random() % 12, ' ');
        for (char &c : line)
            c = bytes[random() % (sizeof bytes - 1)];
        if (random() % 4 == 0)
            line += " prog=/x";
        std::string root = roots[random() % std::size(roots)];
        std::string copy = line;
        pathvane::TableEntry exact = pathvane::split_table_line(copy);
        using Kind = pathvane::TableEntry::Kind;
        bool names = exact.kind == Kind::default_entry ||
                     (exact.kind == Kind::entry && exact.pattern == root);
        pathvane::Options options = pathvane::read_options(exact.options);
        std::optional<std::string> expected;
        if (names && options.end == pathvane::Options::End::prog)
            expected = std::string(options.prog);
        copy = line;
        pathvane::TableMatch quick = pathvane::match_table_line(copy, root);
        std::optional<std::string> got;
        if (quick.program)
            got = std::string(*quick.program);
        ASSERT_EQ(got, expected) << "line '" << line << "' root '" << root << "'";
        ASSERT_EQ(quick.is_default, exact.kind == Kind::default_entry)
            << "line '" << line << "' root '" << root << "'";
    }
}

} // namespace
