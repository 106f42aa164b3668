// Arbitrary opening data of `cvs server` or `cvs pserver`, scanned as it grows, one read at a
// time at fuzzer-chosen split points with the scan offset carried over: the outcome and the path
// must be those of scanning the whole data at once.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include <fuzzer/FuzzedDataProvider.h>

#include "server_mode.h"

namespace {

struct Scan {
    pathvane::RootRequest::Outcome outcome;
    std::string path;
};

bool pserver;

Scan scan(std::string_view data, std::size_t &offset) {
    std::size_t before = offset;
    pathvane::RootRequest request = pserver ? pathvane::scan_auth_request(data, offset)
                                            : pathvane::scan_root_request(data, offset);
    // The offset only moves forwards, and never past the data; the Root request's, never past
    // a NUL byte.
    if (offset < before || offset > data.size())
        std::abort();
    if (!pserver && data.substr(0, offset).find('\0') != std::string_view::npos)
        std::abort();
    if ((request.outcome == pathvane::RootRequest::Outcome::found) != (request.path != nullptr))
        std::abort();
    return {request.outcome, request.path ? request.path.get() : ""};
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    pserver = input.ConsumeBool();
    std::vector<std::size_t> splits(input.ConsumeIntegralInRange<std::size_t>(0, 16));
    for (std::size_t &split : splits)
        split = input.ConsumeIntegralInRange<std::size_t>(0, pathvane::opening_data_limit);
    std::string stream = input.ConsumeRemainingBytesAsString();
    if (stream.size() > pathvane::opening_data_limit)
        stream.resize(pathvane::opening_data_limit);
    for (std::size_t &split : splits)
        split = std::min(split, stream.size());
    std::sort(splits.begin(), splits.end());

    std::size_t whole_offset = 0;
    Scan whole = scan(stream, whole_offset);

    std::size_t offset = 0;
    Scan grown{pathvane::RootRequest::Outcome::need_more, ""};
    for (std::size_t split : splits) {
        grown = scan(std::string_view(stream).substr(0, split), offset);
        if (grown.outcome != pathvane::RootRequest::Outcome::need_more)
            break;
    }
    if (grown.outcome == pathvane::RootRequest::Outcome::need_more)
        grown = scan(stream, offset);
    if (grown.outcome != whole.outcome || grown.path != whole.path)
        std::abort();
    return 0;
}
