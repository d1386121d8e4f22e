// Listing parse: raw "ls --recursive --json" output of 10 000 and 100 000 objects through OrvTool::parseListing and
// the full-listing grouping, as remoteAlload does it. The parse must stay linear: going from 10 000 to 100 000 lines
// may cost at most 12 times as long. Run: build/bin/bench_listing  (prints the ratio at the end; exit status 1
// when the goal is missed).

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
// CPU time of the process, and the best of several repetitions: the build machine is shared, and wall time or a
// single run would measure the neighbours (their load slows the large case more, whose data does not fit in cache).
BENCHMARK(BM_ListingParse)
    ->Arg(10000)
    ->Arg(100000)
    ->Unit(benchmark::kMillisecond)
    ->MinTime(0.5)
    ->Repetitions(7)
    ->ReportAggregatesOnly(false);

// Console output plus the best CPU time per iteration of each size, to print the growth ratio.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run> &runs) override {
        for (const Run &run : runs)
            if (run.run_type == Run::RT_Iteration) {
                const auto it = times.find(run.run_name.args);
                if (it == times.end() || run.GetAdjustedCPUTime() < it->second)
                    times[run.run_name.args] = run.GetAdjustedCPUTime();
            }
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
        std::printf("best CPU time: 10000 lines %.1f ms, 100000 lines %.1f ms, ratio %.2f (goal <= 12): %s\n",
                    small->second, large->second, ratio, ratio <= 12 ? "PASS" : "FAIL");
        return ratio <= 12 ? 0 : 1;
    }
    return 0;
}
