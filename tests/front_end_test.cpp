#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "files.h"
#include "front_end.h"

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

TEST(ScanRootOption, FollowsPosixGetopt) {
    const struct {
        std::vector<std::string> args;
        std::optional<std::string> root;
    } cases[] = {
        {{"cvs", "-d", "/r1", "-d", "/r2", "co", "m"}, "/r1"},
        {{"cvs", "-q", "-d", "/r", "co", "m"}, "/r"},
        {{"cvs", "-z", "9", "-d", "/r", "co", "m"}, std::nullopt},
        {{"cvs", "co", "-d", "dir", "m"}, std::nullopt},
        {{"cvs", "-d", "-q", "co", "m"}, "-q"},
        {{"cvs", "-qd/r", "co", "m"}, "/r"},
        {{"cvs", "-d/r"}, "/r"},
        {{"cvs", "-d", "", "co"}, ""},
        {{"cvs", "-d", "/r", "server"}, "/r"},
        {{"cvs", "-d"}, std::nullopt},
        {{"cvs", "-qd"}, std::nullopt},
        {{"cvs", "--", "-d", "/r"}, std::nullopt},
        {{"cvs", "-", "-d", "/r"}, std::nullopt},
        {{"cvs", "--x", "-d", "/r"}, "/r"},
        {{"cvs", "-:", "-d", "/r"}, "/r"},
        {{"cvs", "-Q", "-n", "-t", "-d", "/r"}, "/r"},
        {{"cvs", "-dd"}, "d"},
        {{"cvs"}, std::nullopt},
        {{"-d", "/not/an/option"}, std::nullopt}, // argv[0] is never an option
        {{}, std::nullopt},
    };
    for (const auto &c : cases) {
        Args args(c.args);
        const char *root = pathvane::scan_root_option(args.argc(), args.argv());
        std::string shown;
        for (const std::string &a : c.args)
            shown += "'" + a + "' ";
        if (c.root)
            EXPECT_STREQ(root, c.root->c_str()) << shown;
        else
            EXPECT_EQ(root, nullptr) << shown << "gave " << root;
        // The scan leaves argv exactly as it was.
        for (std::size_t i = 0; i < c.args.size(); ++i)
            EXPECT_EQ(args.argv()[i], args.storage[i].data());
    }
}

TEST(HasServerWord, LooksAtEveryElementWhole) {
    const struct {
        std::vector<std::string> args;
        bool server;
    } cases[] = {
        {{"cvs", "server"}, true},
        {{"server"}, true},
        {{"cvs", "co", "server"}, true},
        {{"cvs", "-z3", "server"}, true},
        {{"cvs", "Server"}, false},
        {{"cvs", "servers"}, false},
        {{"cvs", "pserver"}, false},
        {{"/usr/bin/server"}, false},
        {{}, false},
    };
    for (const auto &c : cases) {
        Args args(c.args);
        EXPECT_EQ(pathvane::has_server_word(args.argc(), args.argv()), c.server)
            << (c.args.empty() ? "" : c.args.back());
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

} // namespace
