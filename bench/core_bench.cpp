// Times the core parser alone, without Python: reads one file and parses its bytes again and again.
//
//     core_bench FILE [RUNS]
//
// Prints one line of JSON: the input size, and for each way of parsing (the whole tree kept, as the C++
// API returns it; and streamed block by block, as the Python module reads it) the median and best times of
// RUNS timed parses (after three untimed ones) and the memory of one parse: its peak resident memory above
// what was resident before it, in KiB (from /proc/self/status, after resetting the kernel's peak mark; -1
// where that is not possible).
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "quillet/parser.hpp"

namespace {

// A field of /proc/self/status in KiB ("VmRSS", "VmHWM"), or -1.
long status_kib(const char* field) {
    std::ifstream status("/proc/self/status");
    std::string line;
    const std::string prefix = std::string(field) + ":";
    while (std::getline(status, line)) {
        if (line.compare(0, prefix.size(), prefix) == 0) return std::atol(line.c_str() + prefix.size());
    }
    return -1;
}

// Resets the kernel's record of the peak resident memory to the current one.
bool reset_peak() {
    std::ofstream clear("/proc/self/clear_refs");
    clear << "5";
    clear.flush();
    return static_cast<bool>(clear);
}

// Something from the tree, so the compiler cannot drop a parse.
size_t touch(const quillet::Document& document, const quillet::Parser& parser) {
    return document.blocks.size() + parser.errors.size() + document.span.end;
}

// Counts the blocks of a streamed parse, and something of each.
class CountingSink final : public quillet::BlockSink {
public:
    bool take(quillet::Block&& block) override {
        count += 1 + block.span().end;
        return true;
    }
    size_t count = 0;
};

// One parse of `input`: the whole tree kept (Parser::parse_internal), or streamed block by block as the
// Python module reads it (Parser::parse_streaming).
size_t parse_once(const std::string& input, bool streamed) {
    quillet::Parser parser;
    if (!streamed) return touch(parser.parse_internal(input), parser);
    CountingSink sink;
    const quillet::Document rest = parser.parse_streaming(input, sink);
    return sink.count + touch(rest, parser);
}

struct Figures {
    double median_s = 0;
    double best_s = 0;
    long peak_kib = -1;
};

// The peak memory of a first parse, then `runs` timed parses after three untimed ones.
Figures measure(const std::string& input, bool streamed, int runs, size_t& sink) {
    Figures f;
    const long resident_before = status_kib("VmRSS");
    if (reset_peak() && resident_before >= 0) {
        sink += parse_once(input, streamed);
        const long high_water = status_kib("VmHWM");
        if (high_water >= 0) f.peak_kib = high_water - resident_before;
    }
    for (int i = 0; i < 3; ++i) sink += parse_once(input, streamed);
    std::vector<double> seconds;
    seconds.reserve(static_cast<size_t>(runs));
    for (int i = 0; i < runs; ++i) {
        const auto t0 = std::chrono::steady_clock::now();
        sink += parse_once(input, streamed);
        const auto t1 = std::chrono::steady_clock::now();
        seconds.push_back(std::chrono::duration<double>(t1 - t0).count());
    }
    std::sort(seconds.begin(), seconds.end());
    f.median_s = seconds[seconds.size() / 2];
    f.best_s = seconds.front();
    return f;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2 || argc > 3) {
        std::fprintf(stderr, "usage: core_bench FILE [RUNS]\n");
        return 2;
    }
    std::ifstream file(argv[1], std::ios::binary);
    if (!file) {
        std::fprintf(stderr, "core_bench: cannot read %s\n", argv[1]);
        return 2;
    }
    const std::string input((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    if (input.size() >= quillet::kMaxInputSize) {
        std::fprintf(stderr, "core_bench: %s is too large\n", argv[1]);
        return 2;
    }
    const int runs = argc == 3 ? std::max(1, std::atoi(argv[2])) : 20;

    size_t sink = 0;
    // Streamed first: its memory figure would otherwise reuse pages the whole tree left behind.
    const Figures streamed = measure(input, true, runs, sink);
    const Figures whole = measure(input, false, runs, sink);
    std::printf(
        "{\"bytes\": %zu, \"runs\": %d, \"median_s\": %.9f, \"best_s\": %.9f, \"peak_kib\": %ld, "
        "\"streamed_median_s\": %.9f, \"streamed_best_s\": %.9f, \"streamed_peak_kib\": %ld, "
        "\"sink\": %zu}\n",
        input.size(), runs, whole.median_s, whole.best_s, whole.peak_kib, streamed.median_s, streamed.best_s,
        streamed.peak_kib, sink);
    return 0;
}
