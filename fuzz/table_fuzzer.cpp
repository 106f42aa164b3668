// Arbitrary table bytes and an arbitrary root through the real lookup. The answer must be the
// fallback program or a value that the line it names holds, and the one that reading every
// line of the table gives: the lookup passes over lines it need not read.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

#include <fuzzer/FuzzedDataProvider.h>

#include "plain_lookup.h"
#include "program_table.h"

namespace {

const char fallback[] = "FALLBACK";

// One file, rewritten for every input: the lookup reads its table by path.
const char *table_file() {
    static char path[] = "/tmp/pathvane-table-fuzz.XXXXXX";
    static int fd = mkstemp(path);
    if (fd < 0)
        std::abort();
    return path;
}

void write_table(const char *path, const std::string &bytes) {
    FILE *out = std::fopen(path, "wb");
    if (out == nullptr || std::fwrite(bytes.data(), 1, bytes.size(), out) != bytes.size() ||
        std::fclose(out) != 0)
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    std::string root = input.ConsumeRandomLengthString(512);
    std::string table = input.ConsumeRemainingBytesAsString();
    const char *path = table_file();
    write_table(path, table);

    pathvane::Program program = pathvane::lookup_program({path, fallback}, root.c_str());
    if (program.path == nullptr)
        std::abort();
    test::PlainAnswer every_line = test::lookup_reading_every_line(path, fallback, root.c_str());
    if (every_line.program != program.path || every_line.line != program.line)
        std::abort();
    if (program.choice == pathvane::Program::Choice::fallback) {
        if (std::strcmp(program.path, fallback) != 0 || program.line != 0)
            std::abort();
        return 0;
    }
    if (program.line == 0)
        std::abort();
    std::size_t start = 0;
    for (std::size_t number = 1; number < program.line; ++number) {
        std::size_t newline = table.find('\n', start);
        if (newline == std::string::npos)
            std::abort(); // no such line
        start = newline + 1;
    }
    std::string line = table.substr(start, table.find('\n', start) - start);
    if (line.find(program.path) == std::string::npos)
        std::abort(); // a program that the line named does not hold
    return 0;
}
