// The pipeline benchmark: varnokclient.dll handling file events that each need the whole work (three
// stream loads, the open and the age test, the origin and its save, the scan, the final save, the
// verdict), against the floor: the same file-system operations on the same files and the same three
// port messages per event, done by a minimal client that decides nothing. Both run in the same
// process against the driver simulator, with one event in flight and with 25, in alternating rounds.
// Then the library's memory and handles over a long run.
#include "tools/bench/bench_options.h"
#include "tools/bench/bench_report.h"

int main(int argc, char** argv) {
    bench::Options options;
    if (!bench::ParseOptions(argc, argv, options)) {
        bench::PrintUsage();
        return 2;
    }
    return bench::RunBench(options);
}
