#include <gtest/gtest.h>

#include <optional>
#include <random>
#include <string>

#include "server_mode.h"

namespace {

using Outcome = pathvane::RootRequest::Outcome;
using namespace std::string_literals;

struct Scan {
    Outcome outcome;
    std::string path;
    bool operator==(const Scan &) const = default;
};

std::ostream &operator<<(std::ostream &out, const Scan &scan) {
    const char *names[] = {"found", "empty", "none", "need-more"};
    return out << names[static_cast<int>(scan.outcome)] << " '" << scan.path << "'";
}

using pathvane::RequestScan;
constexpr RequestScan root_request = pathvane::scan_root_request;
constexpr RequestScan auth_request = pathvane::scan_auth_request;

Scan scan(std::string_view data, std::size_t &offset, RequestScan scanner = root_request) {
    pathvane::RootRequest request = scanner(data, offset);
    return {request.outcome, request.path ? request.path.get() : ""};
}

Scan scan_whole(std::string_view data, RequestScan scanner = root_request) {
    std::size_t offset = 0;
    return scan(data, offset, scanner);
}

// Scans `data` as it grows, one read after each split point, the offset carried over, and
// stops where the reader would.
Scan scan_in_reads(std::string_view data, const std::vector<std::size_t> &splits,
                   RequestScan scanner = root_request) {
    std::size_t offset = 0;
    Scan last{Outcome::need_more, ""};
    for (std::size_t end : splits) {
        last = scan(data.substr(0, end), offset, scanner);
        if (last.outcome != Outcome::need_more)
            return last;
    }
    return scan(data, offset, scanner);
}

TEST(ScanRootRequest, Outcomes) {
    const struct {
        std::string data;
        Scan expected;
    } cases[] = {
        {"Root /home/repo\n", {Outcome::found, "/home/repo"}},
        {"Root /home/repo", {Outcome::need_more, ""}},
        {"Root\t \t/x\r\n", {Outcome::found, "/x"}},
        {"Root \n", {Outcome::empty, ""}},
        {"Root \t\r\n", {Outcome::empty, ""}},
        {"Root \v", {Outcome::empty, ""}},
        {"Root ", {Outcome::need_more, ""}},
        {"Root", {Outcome::need_more, ""}},
        {"Ro", {Outcome::need_more, ""}},
        {"", {Outcome::need_more, ""}},
        {"Root-extra stuff\nRoot /x\n", {Outcome::found, "/x"}},
        {"Rooted\nRoot /x\n", {Outcome::found, "/x"}},
        {"Root\nRoot /x\n", {Outcome::found, "/x"}},
        {"Root\rRoot /x\n", {Outcome::found, "/x"}},
        {"Rooted\n", {Outcome::need_more, ""}},
        {"Root-x\n\n  \t", {Outcome::need_more, ""}},
        {"Valid-responses ok\nRoot /x\n", {Outcome::none, ""}},
        {"V", {Outcome::none, ""}},
        {"Rox", {Outcome::none, ""}},
        {"Ro\n", {Outcome::none, ""}},
        {"12 -- Ro", {Outcome::need_more, ""}},
        {"Rooted\nVa", {Outcome::none, ""}},
        {"\n\n  Root /x\n", {Outcome::found, "/x"}},
        {"12 -- Root /x\n", {Outcome::found, "/x"}},
        {"Root /a b\n", {Outcome::found, "/a"}},
        {"Root /a\tb\n", {Outcome::found, "/a"}},
        {"root /x\n", {Outcome::none, ""}},
        {"ROOT /x\n", {Outcome::none, ""}},
        {"\0Root /x\n"s, {Outcome::none, ""}},
        {"Root /x\0\n"s, {Outcome::none, ""}},
        {"Root \0/x\n"s, {Outcome::none, ""}},
        {"Ro\0"s, {Outcome::none, ""}},
        {"Rooted\n\0"s, {Outcome::none, ""}},
        {"Root :pserver:u@h:/r\n", {Outcome::found, ":pserver:u@h:/r"}},
        {"Root /caf\xc3\xa9\n", {Outcome::found, "/caf\xc3\xa9"}},
        {"Root \xff\x80\n", {Outcome::found, "\xff\x80"}},
        {"Root\xc3\xa9 /x\nRoot /y\n", {Outcome::found, "/y"}},
        {"Root /x\nRoot /y\n", {Outcome::found, "/x"}},
        {"Root /x\fmore", {Outcome::found, "/x"}},
    };
    for (const auto &c : cases)
        EXPECT_EQ(scan_whole(c.data), c.expected) << "data '" << c.data << "'";
}

TEST(ScanAuthRequest, Outcomes) {
    const std::string rest = "anon\nA\nEND AUTH REQUEST\n";
    const struct {
        std::string data;
        Scan expected;
    } cases[] = {
        {"BEGIN AUTH REQUEST\n/home/ncvs\n" + rest, {Outcome::found, "/home/ncvs"}},
        {"BEGIN VERIFICATION REQUEST\n/home/ncvs\nanon\nA\nEND VERIFICATION REQUEST\n",
         {Outcome::found, "/home/ncvs"}},
        {"BEGIN AUTH REQUEST\n/home/ncvs\n", {Outcome::found, "/home/ncvs"}},
        {"BEGIN AUTH REQUEST\n/home/ncvs", {Outcome::need_more, ""}},
        {"BEGIN AUTH REQUEST\n", {Outcome::need_more, ""}},
        {"BEGIN AUTH REQUEST", {Outcome::need_more, ""}},
        {"BEGIN ", {Outcome::need_more, ""}},
        {"BEGIN V", {Outcome::need_more, ""}},
        {"", {Outcome::need_more, ""}},
        // The path is the whole line: blanks, a CR and bytes above 0x7F are its own.
        {"BEGIN AUTH REQUEST\n/y\r\n" + rest, {Outcome::found, "/y\r"}},
        {"BEGIN AUTH REQUEST\n /a b\t\n", {Outcome::found, " /a b\t"}},
        {"BEGIN AUTH REQUEST\n:pserver:h:/r\n", {Outcome::found, ":pserver:h:/r"}},
        {"BEGIN AUTH REQUEST\n/caf\xc3\xa9\n", {Outcome::found, "/caf\xc3\xa9"}},
        // A NUL ends a line's text; its line still ends at the newline.
        {"BEGIN AUTH REQUEST\n/y\0zz\n"s + rest, {Outcome::found, "/y"}},
        {"BEGIN AUTH REQUEST\n/y\0"s, {Outcome::found, "/y"}},
        {"BEGIN AUTH REQUEST\0zz\n/y\n"s, {Outcome::found, "/y"}},
        {"BEGIN AUTH REQUEST\0/y\n/z\n"s, {Outcome::found, "/z"}},
        {"BEGIN AUTH REQUEST\0/y"s, {Outcome::need_more, ""}},
        {"BEGIN AUTH\0 REQUEST\n/y\n"s, {Outcome::none, ""}},
        {"BEGIN AUTH REQUEST\n\n/y\n", {Outcome::empty, ""}},
        {"BEGIN AUTH REQUEST\n\0/y\n"s, {Outcome::empty, ""}},
        // The first line must be one of the two, exactly, and is settled by its first byte
        // that no opening line has there.
        {"BEGIN GSSAPI REQUEST\n", {Outcome::none, ""}},
        {"BEGIN G", {Outcome::none, ""}},
        {"BEGIN AUTH REQUEST\r\n/y\n", {Outcome::none, ""}},
        {"BEGIN AUTH REQUEST\r", {Outcome::none, ""}},
        {"BEGIN AUTH REQUEST \n/y\n", {Outcome::none, ""}},
        {"BEGIN AUTH REQUESTS\n/y\n", {Outcome::none, ""}},
        {"BEGIN AUTH REQUES\n/y\n", {Outcome::none, ""}},
        {"begin auth request\n/y\n", {Outcome::none, ""}},
        {" BEGIN AUTH REQUEST\n/y\n", {Outcome::none, ""}},
        {"\nBEGIN AUTH REQUEST\n/y\n", {Outcome::none, ""}},
        {"\0BEGIN AUTH REQUEST\n/y\n"s, {Outcome::none, ""}},
        {"Root /r\n", {Outcome::none, ""}},
        {"BEGIN VERIFICATION REQUEST\r\n/y\n", {Outcome::none, ""}},
        {"END AUTH REQUEST\n", {Outcome::none, ""}},
    };
    for (const auto &c : cases)
        EXPECT_EQ(scan_whole(c.data, auth_request), c.expected) << "data '" << c.data << "'";
}

TEST(ScanRootRequest, OffsetMovesOnlyOverLinesPassedOver) {
    std::string data = "Rooted\n  Root-x\nValid-responses ok\nRoot /x\n";
    std::size_t offset = 0;
    EXPECT_EQ(scan(data, offset).outcome, Outcome::none);
    EXPECT_EQ(offset, data.find("Valid"));
    // Passing the same data again gives the same answer and leaves the offset where it is.
    EXPECT_EQ(scan(data, offset).outcome, Outcome::none);
    EXPECT_EQ(offset, data.find("Valid"));

    offset = 0;
    EXPECT_EQ(scan("Root /unfinished", offset).outcome, Outcome::need_more);
    EXPECT_EQ(offset, 0u);
    EXPECT_EQ(scan("Rooted, waiting for its newline", offset).outcome, Outcome::need_more);
    EXPECT_EQ(offset, 0u);
}

// Opening streams as real clients send them, with the scan that reads each.
const struct {
    std::string data;
    RequestScan scanner;
} client_streams[] = {
    {"Root /home/ncvs\n"
     "Valid-responses ok error Valid-requests Checked-in New-entry Checksum Copy-file Updated "
     "Created Update-existing Merged Patched Rcs-diff Mode Mod-time Removed Remove-entry "
     "Set-static-directory Clear-static-directory Set-sticky Clear-sticky Template "
     "Notified Module-expansion Wrapper-rcsOption M Mbinary E F MT\n"
     "valid-requests\n",
     root_request},
    {"Root :ext:cvs.example.org:/home/projects//new/\r\nUseUnchanged\nArgument -N\n", root_request},
    {"\n\nRootless\nRoot-extra x\nRoot\t/r\tmore\n", root_request},
    {"Root \nRoot /never/reached\n", root_request},
    {"Valid-responses ok\nRoot /too/late\n", root_request},
    {"Root /with\0nul\nRoot /x\n"s, root_request},
    {"BEGIN AUTH REQUEST\n/home/ncvs\nanon\nAy=0=h<Z\nEND AUTH REQUEST\n", auth_request},
    {"BEGIN VERIFICATION REQUEST\n/home/ncvs\nanon\nA\nEND VERIFICATION REQUEST\n", auth_request},
    {"BEGIN GSSAPI REQUEST\n", auth_request},
    {"BEGIN AUTH REQUEST\0zz\n/y\0zz\nanon\n"s, auth_request},
    {"BEGIN AUTH REQUEST\n\nanon\n", auth_request},
};

TEST(ScanRequest, SameAnswerHoweverTheDataIsSplit) {
    for (const auto &[stream, scanner] : client_streams) {
        Scan whole = scan_whole(stream, scanner);
        for (std::size_t i = 0; i <= stream.size(); ++i) {
            ASSERT_EQ(scan_in_reads(stream, {i}, scanner), whole)
                << "split at " << i << " of '" << stream;
            for (std::size_t j = i; j <= stream.size(); j += 3)
                ASSERT_EQ(scan_in_reads(stream, {i, j}, scanner), whole)
                    << "splits " << i << ", " << j << " of '" << stream << "'";
        }
        std::vector<std::size_t> every_byte;
        for (std::size_t i = 0; i <= stream.size(); ++i)
            every_byte.push_back(i);
        EXPECT_EQ(scan_in_reads(stream, every_byte, scanner), whole) << stream;
    }
}

TEST(ScanRootRequest, SameAnswerOnRandomData) {
    std::mt19937 random(20261209);
    const char alphabet[] = "Root \t\r\n\v\0x/-R";
    for (int round = 0; round < 20000; ++round) {
        std::string data(random() % 24, ' ');
        for (char &c : data)
            c = alphabet[random() % (sizeof alphabet - 1)];
        std::vector<std::size_t> splits;
        for (std::size_t at = 0; at < data.size(); at += 1 + random() % 5)
            splits.push_back(at);
        ASSERT_EQ(scan_in_reads(data, splits), scan_whole(data)) << "data '" << data << "'";
    }
}

// "None" must be certain, and "need more" open: the client is answered at once in the first
// case, and in the second a Root request may still come.
TEST(ScanRootRequest, NoneOnlyWhereNoBytesToComeCouldChangeIt) {
    std::mt19937 random(24);
    const char alphabet[] = "Root \t\r\n\0x/-RV";
    const std::string completions[] = {"\n",      "/x\n",     " /x\n",      "t /x\n",
                                       "ot /x\n", "oot /x\n", "\nRoot /x\n"};
    for (int round = 0; round < 20000; ++round) {
        std::string data(random() % 16, ' ');
        for (char &c : data)
            c = alphabet[random() % (sizeof alphabet - 1)];
        std::string more(random() % 16, ' ');
        for (char &c : more)
            c = alphabet[random() % (sizeof alphabet - 1)];
        Outcome outcome = scan_whole(data).outcome;
        if (outcome == Outcome::none) {
            ASSERT_EQ(scan_whole(data + more).outcome, Outcome::none)
                << "data '" << data << "', then '" << more << "'";
            for (const std::string &completion : completions)
                ASSERT_EQ(scan_whole(data + completion).outcome, Outcome::none)
                    << "data '" << data << "', then '" << completion << "'";
        } else if (outcome == Outcome::need_more) {
            bool can_settle = false;
            for (const std::string &completion : completions)
                can_settle = can_settle ||
                             scan_whole(data + completion).outcome == Outcome::found ||
                             scan_whole(data + completion).outcome == Outcome::empty;
            ASSERT_TRUE(can_settle) << "data '" << data << "' can never name a root";
        }
    }
}

// What cvs's password server reads from `data`, all of it in hand: lines up to a newline, each
// line's text as a C string. Only settles "none" early where no byte to come could change it.
Scan as_cvs_reads(const std::string &data) {
    const std::string openings[] = {"BEGIN AUTH REQUEST", "BEGIN VERIFICATION REQUEST"};
    std::size_t newline = data.find('\n');
    std::string line = data.substr(0, newline);
    std::string text = line.c_str();
    if (newline == std::string::npos && text.size() == line.size()) {
        for (const std::string &opening : openings)
            if (opening.compare(0, text.size(), text) == 0)
                return {Outcome::need_more, ""};
        return {Outcome::none, ""};
    }
    if (text != openings[0] && text != openings[1])
        return {Outcome::none, ""};
    if (newline == std::string::npos)
        return {Outcome::need_more, ""};
    std::size_t next = data.find('\n', newline + 1);
    line = data.substr(newline + 1, next == std::string::npos ? next : next - newline - 1);
    text = line.c_str();
    if (next == std::string::npos && text.size() == line.size())
        return {Outcome::need_more, ""};
    return {text.empty() ? Outcome::empty : Outcome::found, text};
}

TEST(ScanAuthRequest, ReadsAsCvsDoesHoweverTheDataIsSplit) {
    std::mt19937 random(23);
    const std::string pieces[] = {"BEGIN AUTH REQUEST",
                                  "BEGIN VERIFICATION REQUEST",
                                  "BEGIN ",
                                  "BEGIN AUTH REQUES",
                                  "\n",
                                  "\n",
                                  "\0"s,
                                  "\r",
                                  "/y",
                                  "x"};
    for (int round = 0; round < 20000; ++round) {
        std::string data;
        for (std::size_t count = random() % 7; count > 0; --count)
            data += pieces[random() % std::size(pieces)];
        if (random() % 2 != 0)
            data.resize(random() % (data.size() + 1));
        std::vector<std::size_t> splits;
        for (std::size_t at = 0; at < data.size(); at += 1 + random() % 6)
            splits.push_back(at);
        Scan expected = as_cvs_reads(data);
        ASSERT_EQ(scan_whole(data, auth_request), expected) << "data '" << data << "'";
        ASSERT_EQ(scan_in_reads(data, splits, auth_request), expected) << "data '" << data << "'";
    }
}

} // namespace
