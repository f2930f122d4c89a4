// The pipeline benchmark: varnokclient.dll on the traffic a machine sends (files without origin,
// first events of downloads, rescans, events spared by a clean record, and a mix of them), each
// against its floor: the fewest file-system calls with which any client could decide it, and the
// same port messages. Both run in the same process against the driver simulator, with one event in
// flight and with 25, in alternating rounds. Then the hot-file run, and the library's memory and
// handles over a long run.
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
