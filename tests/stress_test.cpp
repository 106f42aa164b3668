// Many clients at once: 100 server-mode sessions, each sending its own random stream of up to
// 8 MiB to a program that checksums what it receives. Half of them send their Root request in
// two pieces, which pathvane relays where it has looked before the second came; the others'
// programs read their streams in place.
#include <gtest/gtest.h>

#include <cinttypes>
#include <cstdio>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "sandbox.h"

namespace {

std::string checksum(const std::string &bytes) {
    std::uint64_t hash = 14695981039346656037ULL;
    for (char b : bytes)
        hash = (hash ^ static_cast<unsigned char>(b)) * 1099511628211ULL;
    char text[64];
    std::snprintf(text, sizeof text, "%zu %016" PRIx64 "\n", bytes.size(), hash);
    return text;
}

TEST(Stress, HundredConcurrentSessions) {
    constexpr std::size_t sessions = 100;
    test::Sandbox sandbox;
    sandbox.write_table("/r prog=" CHECKSUM_PROGRAM "\n");

    std::vector<test::Invocation> invocations;
    std::vector<std::string> streams;
    std::mt19937_64 random(42);
    for (std::size_t i = 0; i < sessions; ++i) {
        std::string stream = "Root /r\n" + std::string(random() % (8 << 20), '\0');
        for (std::size_t at = 8; at < stream.size(); at += 8) {
            std::uint64_t word = random();
            stream.replace(at, std::min<std::size_t>(8, stream.size() - at),
                           reinterpret_cast<const char *>(&word),
                           std::min<std::size_t>(8, stream.size() - at));
        }
        test::Invocation inv =
            sandbox.invocation({"cvs", "server"}, {"CHECKSUM_EXIT=" + std::to_string(i % 7)});
        if (i % 2 == 0)
            inv.input.push_back({stream.substr(0, 4)}); // "Root", and the rest a moment later
        for (std::size_t at = i % 2 == 0 ? 4 : 0; at < stream.size();) {
            std::size_t n = std::min<std::size_t>(stream.size() - at, 1 + random() % (1 << 20));
            const bool rest_of_root = i % 2 == 0 && at == 4;
            inv.input.push_back(
                {stream.substr(at, n), rest_of_root ? 5 : static_cast<int>(random() % 3)});
            at += n;
        }
        inv.timeout_ms = 240000;
        invocations.push_back(std::move(inv));
        streams.push_back(std::move(stream));
    }

    std::vector<test::Outcome> outcomes(sessions);
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < sessions; ++i)
        threads.emplace_back([&, i] { outcomes[i] = test::run(invocations[i]); });
    for (std::thread &t : threads)
        t.join();

    for (std::size_t i = 0; i < sessions; ++i) {
        SCOPED_TRACE("session " + std::to_string(i));
        EXPECT_FALSE(outcomes[i].timed_out);
        EXPECT_TRUE(outcomes[i].exited);
        EXPECT_EQ(outcomes[i].exit_code, static_cast<int>(i % 7));
        EXPECT_EQ(outcomes[i].out, checksum(streams[i]));
        EXPECT_EQ(outcomes[i].err, "");
    }
}

} // namespace
