// How long one line takes to reach an instrument port: quelt's single
// function-23 exchange, the two requests a general Modbus master needs
// (mbpoll: write the transfer block with function 16, read the status with
// function 3), and the wire's own limit at 19200 baud 8N2. Runs on the
// simulator's emulated line timing (--pace) and on a bare pseudo-terminal,
// interleaved, and prints medians and spreads. Then the cost of one quelt run:
// instructions, peak memory and heap allocations.

#include "../tests/harness.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace
{

constexpr double kChar = 11.0 / 19200.0;  // seconds a character takes on the wire
const char *const kMbpoll = "/usr/bin/mbpoll";

struct Text {
    const char *name;
    std::string text;
};

struct Stats {
    double median, q1, q3;
};

Stats stats(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    auto at = [&](double f) { return v[static_cast<size_t>(f * static_cast<double>(v.size() - 1) + 0.5)]; };
    return {at(0.5), at(0.25), at(0.75)};
}

int writeCount(const std::string &text)
{
    int n = static_cast<int>(text.size()) + 1;
    return (n + 1) / 2 + 1;
}

// quelt: the function-23 request, the silence that ends it, the reply.
double quelt_limit(const std::string &text)
{
    return (13 + 2 * writeCount(text) + 3.5 + 7) * kChar;
}

// Two requests: function 16 and its reply, function 3 and its reply.
double twoRequestLimit(const std::string &text)
{
    return (9 + 2 * writeCount(text) + 3.5 + 8 + 3.5 + 8 + 3.5 + 7) * kChar;
}

std::vector<std::string> registerValues(const std::string &text)
{
    std::string m = text + "\r";
    std::vector<std::string> values{std::to_string(m.size())};
    for (size_t i = 0; i < m.size(); i += 2) {
        unsigned hi = static_cast<unsigned char>(m[i]);
        unsigned lo = i + 1 < m.size() ? static_cast<unsigned char>(m[i + 1]) : 0;
        values.push_back(std::to_string((hi << 8) | lo));
    }
    return values;
}

std::vector<std::string> mbpoll(const std::string &device, const char *reference,
                                std::vector<std::string> tail)
{
    std::vector<std::string> argv{kMbpoll, "-m", "rtu", "-a", "1",  "-b", "19200", "-P",      "none", "-s",
                                  "2",     "-t", "4",   "-0", "-1", "-q", "-r",    reference, device};
    argv.insert(argv.end(), tail.begin(), tail.end());
    return argv;
}

void require(const RunResult &r, const char *what)
{
    if (r.status != 0) {
        std::fprintf(stderr, "%s failed (%d): %s%s\n", what, r.status, r.out.c_str(), r.err.c_str());
        std::exit(1);
    }
}

std::string firstMatch(const std::string &text, const std::string &key)
{
    size_t at = text.find(key);
    if (at == std::string::npos) {
        return "?";
    }
    size_t end = text.find('\n', at);
    return text.substr(at, end - at);
}

}  // namespace

int main()
{
    int runs = std::getenv("BENCH_RUNS") ? std::atoi(std::getenv("BENCH_RUNS")) : 25;
    const std::vector<Text> texts{{"sample line (14 bytes)", "Howdy, modbus!"},
                                  {"100-byte text", std::string(50, 'x') + std::string(50, 'Y')}};
    SimProcess paced({"--pace"});
    SimProcess bare;
    SimProcess *sims[2] = {&paced, &bare};

    // [text][line][way]: way 0 quelt, 1 mbpoll
    std::vector<std::array<std::array<std::vector<double>, 2>, 2>> times(texts.size());
    std::vector<double> rss;
    std::vector<double> start;  // quelt started and ended, no device opened
    for (int i = 0; i < runs; ++i) {
        start.push_back(runQuelt({}).seconds);
        for (size_t t = 0; t < texts.size(); ++t) {
            for (int line = 0; line < 2; ++line) {
                const std::string &dev = sims[line]->device();
                RunResult q = runQuelt({dev, "0", texts[t].text});
                require(q, "quelt");
                times[t][line][0].push_back(q.seconds);
                rss.push_back(static_cast<double>(q.maxRssKb));

                RunResult w = runProgram(mbpoll(dev, "902", registerValues(texts[t].text)));
                require(w, "mbpoll write");
                RunResult r = runProgram(mbpoll(dev, "898", {"-c", "1"}));
                require(r, "mbpoll read");
                times[t][line][1].push_back(w.seconds + r.seconds);
                paced.drain();
                bare.drain();
            }
        }
    }

    Stats s0 = stats(start);
    std::printf("%d runs of each, interleaved; times in ms, median [quartiles]\n\n", runs);
    std::printf("process start and exit alone (quelt printing its usage)  %.2f [%.2f %.2f]\n\n",
                s0.median * 1e3, s0.q1 * 1e3, s0.q3 * 1e3);
    for (size_t t = 0; t < texts.size(); ++t) {
        const std::string &text = texts[t].text;
        Stats q = stats(times[t][0][0]);
        Stats m = stats(times[t][0][1]);
        Stats qb = stats(times[t][1][0]);
        Stats mb = stats(times[t][1][1]);
        double limit = quelt_limit(text);
        std::printf("%s: %d registers written\n", texts[t].name, writeCount(text));
        std::printf("  emulated 19200 8N2 line\n");
        std::printf("    wire limit, one function-23 exchange  %7.2f\n", limit * 1e3);
        std::printf("    wire limit, function 16 + function 3  %7.2f\n", twoRequestLimit(text) * 1e3);
        std::printf("    quelt                                 %7.2f [%.2f %.2f]\n", q.median * 1e3,
                    q.q1 * 1e3, q.q3 * 1e3);
        std::printf("    mbpoll, two requests                  %7.2f [%.2f %.2f]\n", m.median * 1e3,
                    m.q1 * 1e3, m.q3 * 1e3);
        std::printf("    quelt / wire limit                    %7.3f\n", q.median / limit);
        std::printf("    quelt over the limit                  %7.2f, of which process start %.2f\n",
                    (q.median - limit) * 1e3, s0.median * 1e3);
        std::printf("    mbpoll / quelt                        %7.2f\n", m.median / q.median);
        std::printf("  bare pseudo-terminal (the tools' own overhead)\n");
        std::printf("    quelt                                 %7.2f [%.2f %.2f]\n", qb.median * 1e3,
                    qb.q1 * 1e3, qb.q3 * 1e3);
        std::printf("    mbpoll, two requests                  %7.2f [%.2f %.2f]\n", mb.median * 1e3,
                    mb.q1 * 1e3, mb.q3 * 1e3);
        std::printf("    mbpoll / quelt                        %7.2f\n\n", mb.median / qb.median);
    }
    std::printf("quelt peak resident memory: %.0f KiB (median)\n", stats(rss).median);

    const std::string &dev = bare.device();
    RunResult cg = runProgram({"/usr/bin/valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null",
                               QUELT_BIN, dev, "0", texts[0].text},
                              60);
    std::printf("quelt instructions executed (callgrind, whole process): %s\n",
                firstMatch(cg.err, "Collected").c_str());

    RunResult mc = runProgram({"/usr/bin/valgrind", QUELT_BIN, dev, "0", texts[0].text}, 60);
    std::printf("quelt heap use (memcheck): %s\n", firstMatch(mc.err, "total heap usage").c_str());

    // heaptrack names the sites. Its own preloaded library brings in
    // libstdc++, whose start-up allocation shows up too; quelt does not link it.
    std::string profile = "/tmp/quelt-bench-heaptrack";
    runProgram({"/usr/bin/heaptrack", "-o", profile, QUELT_BIN, dev, "0", texts[0].text}, 60);
    RunResult heap = runProgram({"/usr/bin/heaptrack_print", "-f", profile + ".zst"}, 60);
    std::remove((profile + ".zst").c_str());
    std::printf("quelt heap allocations (heaptrack): %s\n",
                firstMatch(heap.out, "calls to allocation functions:").c_str());
    // The sites: each 'N calls to allocation functions ... from' and the
    // function under it.
    std::istringstream in(heap.out);
    bool section = false;
    for (std::string line, next; std::getline(in, line);) {
        if (line == "MOST CALLS TO ALLOCATION FUNCTIONS") {
            section = true;
        } else if (section && line.empty() && next.empty()) {
            break;
        } else if (section && !line.empty() && line[0] != ' ' &&
                   line.find(" calls to allocation") != std::string::npos) {
            std::getline(in, next);
            std::printf("  %s %s\n", line.substr(0, line.find(" with")).c_str(), next.c_str());
            continue;
        }
        next = line;
    }
    return 0;
}
