// SPDX-License-Identifier: MIT
// fieldHash by field length, and the record loop without file I/O.
#include "fileIo/byteStream.hpp"
#include "userRecord/userRecord.hpp"
#include "userRecords.hpp"
#include <initHashData/fieldHash.hpp>

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <string>

namespace {

using namespace initHashData;

void fieldHashByLength(benchmark::State& state)
{
    const std::string field(static_cast<std::size_t>(state.range(0)), 'x');
    for (auto _ : state) {
        benchmark::DoNotOptimize(renderHash(fieldHash(field)));
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(fieldHashByLength)->DenseRange(0, 16, 1)->Arg(24)->Arg(32)->Arg(48)->Arg(64)->Arg(1024)->Arg(1 << 20);

// Reads records from memory and writes them to /dev/null: what remains is the
// cutting, hashing and rendering, with each scan the processor runs.
void recordLoop(benchmark::State& state)
{
    const RecordScan scan = availableScans().at(static_cast<std::size_t>(state.range(0)));
    state.SetLabel(scanName(scan));
    std::string input;
    bench::UserRecords records;
    for (int i = 0; i < 20000; ++i) {
        records.appendNext(input);
    }
    const int in = ::memfd_create("records", MFD_CLOEXEC);
    const int out = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (in < 0 || out < 0 || ::write(in, input.data(), input.size()) != static_cast<ssize_t>(input.size())) {
        state.SkipWithError("cannot set up the input");
        return;
    }
    std::int64_t converted = 0;
    for (auto _ : state) {
        ::lseek(in, 0, SEEK_SET);
        ByteWriter writer(out, "null");
        std::string field2;
        converted += static_cast<std::int64_t>(convertRecords(in, "records", writer, field2, {.scan = scan}));
        writer.flush();
    }
    state.SetItemsProcessed(converted);
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(input.size()));
    ::close(in);
    ::close(out);
}
BENCHMARK(recordLoop)->DenseRange(0, static_cast<int>(availableScans().size()) - 1);

} // namespace

BENCHMARK_MAIN();
