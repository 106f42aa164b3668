#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <initializer_list>
#include <random>
#include <span>
#include <string>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

#include "setup_file.h"

// The reader behind the lookup hands out exactly the lines that hold the piece or the mark,
// numbered as reading every line numbers them, wherever its reads end: here a pipe's, at
// random. Pieces of every length meet the edges of the groups of bytes it passes over.
TEST(LineReader, PassesOverExactlyTheLinesThatHoldNeither) {
    std::mt19937 random(1024);
    for (int round = 0; round < 100; ++round) {
        std::size_t length =
            std::initializer_list<std::size_t>{1, 2, 3, 15, 16, 17, 1100}.begin()[random() % 7];
        std::string piece(length, '/');
        for (char &c : piece)
            c = "xyz/"[random() % 4];
        std::string text;
        std::vector<std::pair<std::size_t, std::string>> expected; // line number and line
        for (std::size_t number = 1; text.size() < 150000; ++number) {
            std::string line(random() % (round % 10 == 0 ? 70000 : 120), 'a');
            for (char &c : line)
                c = "ab /\t\r"[random() % 6];
            std::size_t kind = random() % 64;
            std::size_t at = line.empty() ? 0 : random() % line.size();
            if (kind == 0)
                line.insert(at, piece);
            else if (kind == 1)
                line.insert(at, 1, '*');
            else if (kind == 2 && length >= 3) // the first and last bytes, not the middle
                line.insert(at, piece.front() + std::string(length - 2, '\n' + 1) + piece.back());
            if (line.find(piece) != std::string::npos || line.find('*') != std::string::npos)
                expected.emplace_back(number, line + "\n");
            text += line + "\n";
        }
        int pipe_ends[2];
        ASSERT_EQ(pipe(pipe_ends), 0);
        std::thread writer([&text, write_end = pipe_ends[1], seed = random()] {
            std::mt19937 sizes(seed);
            for (std::size_t at = 0; at < text.size();) {
                std::size_t size = std::min<std::size_t>(1 + sizes() % 70000, text.size() - at);
                ssize_t n = write(write_end, text.data() + at, size);
                if (n <= 0)
                    break;
                at += static_cast<std::size_t>(n);
            }
            close(write_end);
        });
        std::vector<std::pair<std::size_t, std::string>> got;
        pathvane::LineReader reader(pipe_ends[0]);
        for (std::span<char> line;
             reader.next_holding(line, piece, '*') == pathvane::LineReader::Result::line;)
            got.emplace_back(reader.line_number(), std::string(line.begin(), line.end()));
        writer.join();
        close(pipe_ends[0]);
        ASSERT_EQ(got, expected) << "round " << round << ", piece '" << piece << "'";
    }
}
