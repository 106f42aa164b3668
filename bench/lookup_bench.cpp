// In-process figures: the table lookup per line, and the Root request recognizer over a real
// client's opening data, whole and one byte at a time.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

#include "program_table.h"
#include "server_mode.h"

namespace {

std::string write_table(std::size_t lines) {
    std::string path = "/tmp/pathvane-lookup-bench.conf";
    FILE *out = std::fopen(path.c_str(), "w");
    for (std::size_t i = 0; i + 1 < lines; ++i)
        std::fprintf(out, "/home/ncvs/project%zu prog=/usr/local/bin/cvs-%zu\n", i, i % 3);
    std::fprintf(out, "/home/ncvs/target prog=/bin/true\n");
    std::fclose(out);
    return path;
}

void BM_LookupLastLine(benchmark::State &state) {
    std::string table = write_table(static_cast<std::size_t>(state.range(0)));
    for (auto _ : state) {
        pathvane::Program program =
            pathvane::lookup_program({table.c_str(), "/fallback"}, ":ext:host:/home/ncvs/target/");
        benchmark::DoNotOptimize(program.path);
    }
    state.SetItemsProcessed(state.iterations() * state.range(0)); // table lines read
    unlink(table.c_str());
}
BENCHMARK(BM_LookupLastLine)->Arg(1000)->Arg(100000)->Arg(1000000);

const std::string root_opening = "Root /home/ncvs\n"
                                 "Valid-responses ok error Valid-requests Checked-in New-entry "
                                 "Checksum Copy-file Updated Created Update-existing Merged "
                                 "Patched Rcs-diff Mode Mod-time Removed Remove-entry M Mbinary E "
                                 "F MT\n"
                                 "valid-requests\n";
const std::string auth_opening =
    "BEGIN AUTH REQUEST\n/home/ncvs\nanoncvs\nAy=0=h<Z\nEND AUTH REQUEST\n";

// The scan of a whole opening, as when it arrives in one read.
void BM_ScanWhole(benchmark::State &state, pathvane::RequestScan scan, const std::string *opening) {
    for (auto _ : state) {
        std::size_t offset = 0;
        pathvane::RootRequest request = scan(*opening, offset);
        benchmark::DoNotOptimize(request.path.get());
    }
}
BENCHMARK_CAPTURE(BM_ScanWhole, RootRequest, pathvane::scan_root_request, &root_opening);
BENCHMARK_CAPTURE(BM_ScanWhole, AuthRequest, pathvane::scan_auth_request, &auth_opening);

// The scans of an opening that arrives one byte a read, up to the decision.
void BM_ScanByteByByte(benchmark::State &state, pathvane::RequestScan scan,
                       const std::string *opening) {
    for (auto _ : state) {
        std::size_t offset = 0;
        for (std::size_t end = 1; end <= opening->size(); ++end) {
            pathvane::RootRequest request = scan(std::string_view(*opening).substr(0, end), offset);
            if (request.outcome != pathvane::RootRequest::Outcome::need_more)
                break;
        }
    }
}
BENCHMARK_CAPTURE(BM_ScanByteByByte, RootRequest, pathvane::scan_root_request, &root_opening);
BENCHMARK_CAPTURE(BM_ScanByteByByte, AuthRequest, pathvane::scan_auth_request, &auth_opening);

} // namespace

BENCHMARK_MAIN();
