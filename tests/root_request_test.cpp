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
    const char *names[] = {"found", "empty", "need-more"};
    return out << names[static_cast<int>(scan.outcome)] << " '" << scan.path << "'";
}

Scan scan(std::string_view data, std::size_t &offset) {
    pathvane::RootRequest request = pathvane::scan_root_request(data, offset);
    return {request.outcome, request.path ? request.path.get() : ""};
}

Scan scan_whole(std::string_view data) {
    std::size_t offset = 0;
    return scan(data, offset);
}

// Scans `data` as it grows, one read after each split point, the offset carried over, and
// stops where the reader would.
Scan scan_in_reads(std::string_view data, const std::vector<std::size_t> &splits) {
    std::size_t offset = 0;
    Scan last{Outcome::need_more, ""};
    for (std::size_t end : splits) {
        last = scan(data.substr(0, end), offset);
        if (last.outcome != Outcome::need_more)
            return last;
    }
    return scan(data, offset);
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
        {"Valid-responses ok\nRoot /x\n", {Outcome::need_more, ""}},
        {"\n\n  Root /x\n", {Outcome::found, "/x"}},
        {"12 -- Root /x\n", {Outcome::found, "/x"}},
        {"Root /a b\n", {Outcome::found, "/a"}},
        {"Root /a\tb\n", {Outcome::found, "/a"}},
        {"root /x\n", {Outcome::need_more, ""}},
        {"ROOT /x\n", {Outcome::need_more, ""}},
        {"\0Root /x\n"s, {Outcome::need_more, ""}},
        {"Root /x\0\n"s, {Outcome::need_more, ""}},
        {"Root \0/x\n"s, {Outcome::need_more, ""}},
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

TEST(ScanRootRequest, OffsetMovesOnlyOverLinesPassedOver) {
    std::string data = "Rooted\n  Root-x\nValid-responses ok\nRoot /x\n";
    std::size_t offset = 0;
    EXPECT_EQ(scan(data, offset).outcome, Outcome::need_more);
    EXPECT_EQ(offset, data.find("Valid"));
    // Passing the same data again gives the same answer and leaves the offset where it is.
    EXPECT_EQ(scan(data, offset).outcome, Outcome::need_more);
    EXPECT_EQ(offset, data.find("Valid"));

    offset = 0;
    EXPECT_EQ(scan("Root /unfinished", offset).outcome, Outcome::need_more);
    EXPECT_EQ(offset, 0u);
    EXPECT_EQ(scan("Rooted, waiting for its newline", offset).outcome, Outcome::need_more);
    EXPECT_EQ(offset, 0u);
}

// Opening streams as real clients send them.
const std::string client_streams[] = {
    "Root /home/ncvs\n"
    "Valid-responses ok error Valid-requests Checked-in New-entry Checksum Copy-file Updated "
    "Created Update-existing Merged Patched Rcs-diff Mode Mod-time Removed Remove-entry "
    "Set-static-directory Clear-static-directory Set-sticky Clear-sticky Template "
    "Notified Module-expansion Wrapper-rcsOption M Mbinary E F MT\n"
    "valid-requests\n",
    "Root :ext:cvs.example.org:/home/projects//new/\r\nUseUnchanged\nArgument -N\n",
    "\n\nRootless\nRoot-extra x\nRoot\t/r\tmore\n",
    "Root \nRoot /never/reached\n",
    "Valid-responses ok\nRoot /too/late\n",
    "Root /with\0nul\nRoot /x\n"s,
};

TEST(ScanRootRequest, SameAnswerHoweverTheDataIsSplit) {
    for (const std::string &stream : client_streams) {
        Scan whole = scan_whole(stream);
        for (std::size_t i = 0; i <= stream.size(); ++i) {
            ASSERT_EQ(scan_in_reads(stream, {i}), whole) << "split at " << i << " of '" << stream;
            for (std::size_t j = i; j <= stream.size(); j += 3)
                ASSERT_EQ(scan_in_reads(stream, {i, j}), whole)
                    << "splits " << i << ", " << j << " of '" << stream << "'";
        }
        std::vector<std::size_t> every_byte;
        for (std::size_t i = 0; i <= stream.size(); ++i)
            every_byte.push_back(i);
        EXPECT_EQ(scan_in_reads(stream, every_byte), whole) << stream;
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

} // namespace
