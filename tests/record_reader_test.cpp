#include <gtest/gtest.h>

#include <string>

#include "record_reader.h"

namespace {

using pathvane::RouteLine;

TEST(RecordReader, ReadsTheRouteRecordsAsPathvaneWritesThem) {
    const struct {
        std::string line;
        RouteLine::Kind kind;
        std::string root;
        bool cut = false;
    } cases[] = {
        {"route mode=server uid=1 source=\"Root request\" root=\"/r\" program=\"/p\" why=\"x\" "
         "stream=in-place",
         RouteLine::Kind::session, "/r"},
        // As a log file and journalctl's default output print it, a quoted value with blanks.
        {"Dec 10 12:00:00 host pathvane[42]: route mode=pserver uid=0 from=\"a b\" "
         "root=\":pserver:u:*@h:/r\" program=\"/p\"",
         RouteLine::Kind::session, ":pserver:u:*@h:/r"},
        {"x pathvane[: pathvane[42]: route mode=direct uid=0 source=\"-d\" "
         "root=\"a\\\"b\\\\c\\011\\303\\251\" program=\"/p\"",
         RouteLine::Kind::command, "a\"b\\c\t\xc3\xa9"},
        {"route mode=direct root=\"/long\"... program=\"/p\"", RouteLine::Kind::command, "/long",
         true},
        // Not a route record with a root, or not one as pathvane writes it.
        {"pathvane[42]: end mode=server status=0", RouteLine::Kind::other, ""},
        {"sshd[42]: route mode=direct root=\"/r\"", RouteLine::Kind::other, ""},
        {"pathvane[]: route mode=direct root=\"/r\"", RouteLine::Kind::other, ""},
        {"route mode=direct uid=0 source=\"none\" program=\"/fb\" why=\"no root\"",
         RouteLine::Kind::other, ""},
        {"route mode=sideways root=\"/r\"", RouteLine::Kind::other, ""},
        {"route root=\"/r\"", RouteLine::Kind::other, ""},
        {"route mode=direct root=\"/r", RouteLine::Kind::other, ""},
        {"route mode=direct root=\"/r\\q\"", RouteLine::Kind::other, ""},
        {"route mode=direct root=\"/r\\000\"", RouteLine::Kind::other, ""},
        {std::string("route mode=direct root=\"/r") + '\0' + "x\"", RouteLine::Kind::other, ""},
        {"", RouteLine::Kind::other, ""},
    };
    RouteLine read;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.line);
        pathvane::read_route_line(c.line, read);
        EXPECT_EQ(read.kind, c.kind);
        if (c.kind != RouteLine::Kind::other) {
            EXPECT_EQ(read.root, c.root);
            EXPECT_EQ(read.cut, c.cut);
        }
    }
}

} // namespace
