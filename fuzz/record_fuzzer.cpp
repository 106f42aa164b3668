// Arbitrary log lines through the route record reader, and arbitrary roots through the record's
// own quoting and back: a root must read back as pathvane wrote it, or, where the record cut it
// short, as the start of it, marked cut; a line that the quoting cannot have written must not
// read as a record of a root it does not hold.
#include <cstdint>
#include <cstdlib>
#include <string>

#include <fuzzer/FuzzedDataProvider.h>

#include "record_reader.h"
#include "text.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    const bool as_file = input.ConsumeBool();
    std::string root = input.ConsumeRandomLengthString(1024);
    const std::string line = input.ConsumeRemainingBytesAsString();

    pathvane::RouteLine read;
    pathvane::read_route_line(line, read); // whatever it holds: no crash, no overrun
    if (read.kind != pathvane::RouteLine::Kind::other && read.root.find('\0') != std::string::npos)
        std::abort();

    pathvane::FixedText<8192> record;
    if (as_file)
        record << "Dec 10 12:00:00 host pathvane[4711]: ";
    record << "route mode=direct uid=0 source=\"-d\" root=";
    record.quote(root, 400);
    record << " program=\"/usr/bin/ncvs\" why=\"no entry for the root\"";
    pathvane::read_route_line(record.view(), read);
    // A root holds no NUL byte: cvs's command line and requests end at one.
    if (root.find('\0') != std::string::npos)
        return 0;
    if (read.kind != pathvane::RouteLine::Kind::command)
        std::abort();
    if (read.cut ? !root.starts_with(read.root) || read.root.size() >= root.size()
                 : read.root != root)
        std::abort();
    return 0;
}
