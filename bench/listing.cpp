// Listing parse: raw "ls --recursive --json" output of 10 000 and 100 000 objects through OrvTool::parseListing and
// the full-listing grouping, as remoteAlload does it. The parse must stay linear: going from 10 000 to 100 000 lines
// may cost at most 12 times as long. Run: build/bin/bench_listing  (prints the ratio at the end).

#include <benchmark/benchmark.h>

#include <QByteArray>
#include <cstdio>
#include <map>

#include "orvtool.h"

namespace {

// Tool output of `lines` objects over 50 datasets, CR LF line ends, with a folder line and a failed line every
// hundred objects so that the filter has work to do.
QByteArray listingOutput(int lines) {
    QByteArray out;
    out.reserve(lines * 230);
    for (int i = 0; i < lines; ++i) {
        const QByteArray type = i % 100 == 7 ? "folder" : "file";
        const QByteArray status = i % 100 == 11 ? "error" : "success";
        const QByteArray key = "tank/ds" + QByteArray::number(i % 50) + "/qiv_2024" + QByteArray::number(10000000 + i);
        out += "{\"status\":\"" + status + "\",\"type\":\"" + type +
               "\",\"lastModified\":\"2024-05-01T08:09:10.123+08:00\",\"size\":" + QByteArray::number(1000000 + i) +
               ",\"key\":\"" + key + "\",\"etag\":\"d41d8cd98f00b204e9800998ecf8427e\",\"url\":\"http://store:9000/" +
               "bucket1/SN0123456789/\",\"versionOrdinal\":1,\"storageClass\":\"STANDARD\"}\r\n";
    }
    return out;
}

void BM_ListingParse(benchmark::State &state) {
    const QByteArray output = listingOutput(int(state.range(0)));
    // One untimed pass first: the first pass of a size grows the heap (page faults) and would be compared with
    // warmed-up passes of the other size.
    {
        QJsonObject warm;
        OrvTool::addAlloadEntries(OrvTool::parseListing(output), &warm);
    }
    for (auto _ : state) {
        QJsonObject result;
        OrvTool::addAlloadEntries(OrvTool::parseListing(output), &result);
        benchmark::DoNotOptimize(result);
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
    state.SetBytesProcessed(state.iterations() * output.size());
}
// CPU time of the process: the build machine is shared, and wall time would measure the neighbours.
BENCHMARK(BM_ListingParse)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond)->MinTime(2.0);

// Console output plus the CPU time of each run, to print the growth ratio.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run> &runs) override {
        for (const Run &run : runs)
            if (run.run_type == Run::RT_Iteration) times[run.run_name.args] = run.GetAdjustedCPUTime();
        ConsoleReporter::ReportRuns(runs);
    }
    std::map<std::string, double> times;  // by argument (number of lines)
};

}  // namespace

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    const auto small = reporter.times.find("10000");
    const auto large = reporter.times.find("100000");
    if (small != reporter.times.end() && large != reporter.times.end() && small->second > 0) {
        const double ratio = large->second / small->second;
        std::printf("100000 / 10000 lines CPU time ratio: %.2f (goal <= 12): %s\n", ratio,
                    ratio <= 12 ? "PASS" : "FAIL");
        return ratio <= 12 ? 0 : 1;
    }
    return 0;
}
