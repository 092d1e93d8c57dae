// quelt end to end against the simulator: the command line, the bytes on the
// wire, the status lines, and devices that cannot serve.

#include "harness.h"

#include "cases.h"

#include <gtest/gtest.h>
#include <modbus/modbus-version.h>

#include <fcntl.h>
#include <cctype>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quelt_test
{

const std::string kHowdy = "Howdy, modbus!";

// What quelt prints on standard output for one exchange of an n-byte
// message: the library's trace of it, then the verdict.
std::string expectedStdout(const std::string &device, const Bytes &request, uint16_t status, int n)
{
    return "Opening " + device + " at 19200 bauds (N, 8, 2)\nBytes flushed (0)\n" + traceSent(request) +
           "\nWaiting for a confirmation...\n" + traceReceived(statusReply(status)) + "\n" +
           statusLines(status, n);
}

// ---- Refusals before the device is touched ---------------------------------

// The banner with the compile date and time, as May 29 2019 and 10:31:54.
bool isBanner(const std::string &out)
{
    const std::string head = "QUELT compiled with libmodbus version " LIBMODBUS_VERSION_STRING " on ";
    const std::string tail =
        "\n\nUsage: quelt port inst_port 'string to write'\nExample:\n./quelt com1 0 'Howdy, modbus!'\n";
    const std::string shape = "Aaa _9 9999 at 99:99:99";
    if (out.size() != head.size() + shape.size() + tail.size() || out.compare(0, head.size(), head) != 0 ||
        out.compare(out.size() - tail.size(), tail.size(), tail) != 0) {
        return false;
    }
    for (size_t i = 0; i < shape.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(out[head.size() + i]);
        bool fits = shape[i] == 'A'   ? std::isupper(c)
                    : shape[i] == 'a' ? std::islower(c)
                    : shape[i] == '9' ? std::isdigit(c)
                    : shape[i] == '_' ? (c == ' ' || std::isdigit(c))
                                      : c == static_cast<unsigned char>(shape[i]);
        if (!fits) {
            return false;
        }
    }
    return true;
}

struct RefusalCase {
    const char *name;
    std::vector<std::string> args;  // after the device
    std::string out;                // "" or exact; "banner" for the usage text
    std::string err;
};

class Refusal : public testing::TestWithParam<RefusalCase>
{
};

const std::string kLong(101, 'x');

const RefusalCase kRefusals[] = {
    // No arguments at all: the device itself is missing too.
    {"NoArguments", {"<none>"}, "banner", ""},
    // Device only, and device and port only.
    {"DeviceOnly", {}, "banner", ""},
    {"NoText", {"0"}, "banner", ""},
    // 101 bytes are one too many.
    {"TextTooLong", {"0", kLong}, "", "ERROR write string should be 100 characters or less\n"},
    // The length is checked before the port.
    {"TextTooLongBadPort", {"7", kLong}, "", "ERROR write string should be 100 characters or less\n"},
    {"PortTwo", {"2", "hi"}, "ERROR: bad instrument port input, must be 0 or 1.\n", ""},
    {"PortLetter", {"x0", "hi"}, "ERROR: bad instrument port input, must be 0 or 1.\n", ""},
    {"PortEmpty", {"", "hi"}, "ERROR: bad instrument port input, must be 0 or 1.\n", ""},
    {"PortNegative", {"-1", "hi"}, "ERROR: bad instrument port input, must be 0 or 1.\n", ""},
};

TEST_P(Refusal, PrintsItsLineAndNeverOpensTheDevice)
{
    const RefusalCase &c = GetParam();
    TempDir dir;
    std::string device = dir.path() + "/tty";
    int fd = open(device.c_str(), O_CREAT | O_WRONLY, 0600);
    ASSERT_GE(fd, 0);
    close(fd);
    int watch = inotify_init1(IN_NONBLOCK);
    ASSERT_GE(inotify_add_watch(watch, device.c_str(), IN_OPEN), 0);

    std::vector<std::string> args;
    if (c.args.empty() || c.args[0] != "<none>") {
        args.push_back(device);
        args.insert(args.end(), c.args.begin(), c.args.end());
    }
    RunResult r = runQuelt(args);

    EXPECT_EQ(r.status, 255);
    EXPECT_FALSE(r.signaled);
    if (c.out == "banner") {
        EXPECT_TRUE(isBanner(r.out)) << r.out;
    } else {
        EXPECT_EQ(r.out, c.out);
    }
    EXPECT_EQ(r.err, c.err);
    char event[256];
    EXPECT_LT(read(watch, event, sizeof event), 0) << "the device was opened";
    close(watch);
}

INSTANTIATE_TEST_SUITE_P(Arguments, Refusal, testing::ValuesIn(kRefusals), CaseName());

// ---- Delivery ---------------------------------------------------------------

struct SendCase {
    const char *name;
    std::string portArg;
    std::string text;
    std::vector<std::string> extra;  // further arguments, ignored
    int port;
    std::string shown;  // the line as the simulator shows it arriving
};

class Send : public testing::TestWithParam<SendCase>
{
};

const std::string k99(99, 'a');
const std::string k100 = std::string(99, 'b') + "Z";

const SendCase kSends[] = {
    // The usual line to port 0.
    {"Howdy", "0", kHowdy, {}, 0, "Howdy, modbus!\\r"},
    // Port 1 lies 256 registers higher.
    {"PortOne", "1", kHowdy, {}, 1, "Howdy, modbus!\\r"},
    // Only the port's first character counts.
    {"PortOneWithSuffix", "1abc", "x", {}, 1, "x\\r"},
    {"PortZeroWithSuffix", "0\xff", "x", {}, 0, "x\\r"},
    // The carriage return alone: two registers, 0x0001 and 0x0D00.
    {"EmptyText", "0", "", {}, 0, "\\r"},
    // Odd message (even text): the last register padded with zero.
    {"EvenText", "0", "ab", {}, 0, "ab\\r"},
    // Even message (odd text): no padding.
    {"OddText", "0", "abc", {}, 0, "abc\\r"},
    // 99 bytes: write count 51, CR in the low half of register 50.
    {"Text99", "0", k99, {}, 0, k99 + "\\r"},
    // 100 bytes, the most: write count 52, CR high in register 51.
    {"Text100", "1", k100, {}, 1, k100 + "\\r"},
    // UTF-8 and bytes above 0x7F arrive unchanged, never sign-extended.
    {"Utf8",
     "0",
     "25\xc2\xb0"
     "C \xc2\xb5m",
     {},
     0,
     "25\\xC2\\xB0C \\xC2\\xB5m\\r"},
    {"HighBytes", "0", "\xff\x80\x7f\x01\xfe", {}, 0, "\\xFF\\x80\\x7F\\x01\\xFE\\r"},
    // Arguments after the text are ignored.
    {"ExtraArguments", "0", kHowdy, {"more", "args"}, 0, "Howdy, modbus!\\r"},
};

TEST_P(Send, PutsTheTransferBlockOnTheWireAndReportsFullAcceptance)
{
    const SendCase &c = GetParam();
    SimProcess sim;
    std::vector<std::string> args{sim.device(), c.portArg, c.text};
    args.insert(args.end(), c.extra.begin(), c.extra.end());
    RunResult r = runQuelt(args);

    std::string message = c.text + "\r";
    int n = static_cast<int>(message.size());
    uint16_t status = static_cast<uint16_t>(((255 - n) << 8) | n);
    Bytes request = transferRequest(c.port, message);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, expectedStdout(sim.device(), request, status, n));
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(sim.frames(), std::vector<std::string>{hex(request)});

    std::string output;
    EXPECT_EQ(sim.stop(&output), 0);
    std::string arrived = " port " + std::to_string(c.port) + " <- \"" + c.shown + "\"\n";
    EXPECT_NE(output.find(arrived), std::string::npos) << output;
}

INSTANTIATE_TEST_SUITE_P(Texts, Send, testing::ValuesIn(kSends), CaseName());

// The line of the manual, byte for byte as it must leave the host.
TEST(Wire, HowdyIsTheDocumentedFrame)
{
    SimProcess sim;
    RunResult r = runQuelt({sim.device(), "0", kHowdy});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(sim.frames(),
              std::vector<std::string>{"01 17 03 82 00 01 03 86 00 09 12 00 0F 48 6F 77 64 79 2C 20 "
                                       "6D 6F 64 62 75 73 21 0D 00 13 22"});
    EXPECT_NE(r.out.find("REG RD_ADDR      = 0xF00F\nTX_WRITE_ACCEPT = 15\nTX_QUEUE_FREE   = 240\n"),
              std::string::npos);
}

// ---- The device's verdict ---------------------------------------------------

struct VerdictCase {
    const char *name;
    std::vector<std::string> simOptions;
    int runs;         // the verdict of the last run counts
    uint16_t status;  // its status word
};

class Verdict : public testing::TestWithParam<VerdictCase>
{
};

const VerdictCase kVerdicts[] = {
    // A queue of 10 takes 10 of the 15 bytes.
    {"Shortfall", {"--queue", "10"}, 1, 0x000A},
    // A queue that never drains takes the rest of its room on the next run.
    {"ShortfallOnFullingQueue", {"--queue", "20", "--drain-rate", "0"}, 2, 0x0005},
    // Nothing fits any more.
    {"QueueFull", {"--queue", "15", "--drain-rate", "0"}, 2, 0x0000},
    // A fast instrument empties the queue between runs...
    {"DrainedBetweenRuns", {"--queue", "20", "--drain-rate", "1000000"}, 2, 0x050F},
    // ...a slow one takes nothing in the moment between them.
    {"DrainTooSlow", {"--queue", "20", "--drain-rate", "0.5"}, 2, 0x0005},
    // Every byte queued and no room left: still full acceptance.
    {"AcceptedWithNoRoomLeft", {"--queue", "15"}, 1, 0x000F},
    // Every byte queued with room to spare.
    {"AcceptedWithRoom", {}, 1, 0xF00F},
};

TEST_P(Verdict, FollowsTheAcceptedCountAlone)
{
    const VerdictCase &c = GetParam();
    SimProcess sim(c.simOptions);
    RunResult r;
    for (int i = 0; i < c.runs; ++i) {
        r = runQuelt({sim.device(), "0", kHowdy});
    }
    bool full = (c.status & 0xFF) == 15;
    EXPECT_EQ(r.status, full ? 0 : 255);
    EXPECT_EQ(r.out, expectedStdout(sim.device(), transferRequest(0, kHowdy + "\r"), c.status, 15));
    EXPECT_EQ(r.err, "");
}

INSTANTIATE_TEST_SUITE_P(Queue, Verdict, testing::ValuesIn(kVerdicts), CaseName());

// The simulator's --link names its pseudo-terminal for as long as it runs.
TEST(Link, NamesTheSimulatorsLineWhileItServes)
{
    TempDir dir;
    std::string link = dir.path() + "/tty";
    SimProcess sim({"--link", link});
    RunResult r = runQuelt({link, "0", kHowdy});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out.rfind("Opening " + link + " at 19200 bauds", 0), 0u) << r.out;
    EXPECT_EQ(sim.stop(), 0);
    struct stat st {
    };
    EXPECT_NE(lstat(link.c_str(), &st), 0) << "the link outlived the simulator";
}

// ---- Devices that cannot serve ----------------------------------------------

struct DeviceCase {
    const char *name;
    std::string (*make)(const std::string &dir);  // the device name to use
    std::string err;                              // %s stands for the device
    bool opening;                                 // the library announces the device
};

std::string replaceAll(std::string s, const std::string &from, const std::string &to)
{
    for (size_t at = s.find(from); at != std::string::npos; at = s.find(from, at + to.size())) {
        s.replace(at, from.size(), to);
    }
    return s;
}

const DeviceCase kDevices[] = {
    // A path with nothing behind it.
    {"Missing", [](const std::string &d) { return d + "/no-such-tty"; },
     "ERROR Can't open the device %s (No such file or directory)\nERROR Connection failed: No such file or "
     "directory\n",
     true},
    {"Directory", [](const std::string &d) { return d; },
     "ERROR Can't open the device %s (Is a directory)\nERROR Connection failed: Is a directory\n", true},
    // Opens, but is no serial line: the library says nothing of it.
    {"DevNull", [](const std::string &) { return std::string("/dev/null"); },
     "ERROR Connection failed: Inappropriate ioctl for device\n", true},
    {"RegularFile",
     [](const std::string &d) {
         std::string p = d + "/file";
         close(open(p.c_str(), O_CREAT | O_WRONLY, 0600));
         return p;
     },
     "ERROR Connection failed: Inappropriate ioctl for device\n", true},
    {"Fifo",
     [](const std::string &d) {
         std::string p = d + "/fifo";
         mkfifo(p.c_str(), 0600);
         return p;
     },
     "ERROR Connection failed: Inappropriate ioctl for device\n", true},
    // The library refuses an empty name before any context exists.
    {"EmptyName", [](const std::string &) { return std::string(); },
     "The device string is empty\nUnable to allocate libmodbus context\n", false},
    {"VeryLongPath", [](const std::string &d) { return d + "/" + std::string(5000, 'p'); },
     "ERROR Can't open the device %s (File name too long)\nERROR Connection failed: File name too long\n",
     true},
};

class Device : public testing::TestWithParam<DeviceCase>
{
};

TEST_P(Device, IsReportedAndTheRunFails)
{
    const DeviceCase &c = GetParam();
    TempDir dir;
    std::string device = c.make(dir.path());
    RunResult r = runQuelt({device, "0", kHowdy});
    EXPECT_EQ(r.status, 255);
    EXPECT_FALSE(r.signaled);
    EXPECT_EQ(r.err, replaceAll(c.err, "%s", device));
    EXPECT_EQ(r.out, c.opening ? "Opening " + device + " at 19200 bauds (N, 8, 2)\n" : "");
}

INSTANTIATE_TEST_SUITE_P(Names, Device, testing::ValuesIn(kDevices), CaseName());

// A line with nobody at the far end: the request goes out, nothing comes
// back, and no status is made up.
TEST(Device, ThatNeverAnswersTimesOutWithoutStatusLines)
{
    Pty line;
    RunResult r = runQuelt({line.path(), "0", kHowdy});

    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.err, "ERROR Connection timed out: select\nERROR Transfer failed: Connection timed out\n");
    EXPECT_EQ(r.out, "Opening " + line.path() + " at 19200 bauds (N, 8, 2)\nBytes flushed (0)\n" +
                         traceSent(transferRequest(0, kHowdy + "\r")) +
                         "\nWaiting for a confirmation...\nBytes flushed (0)\n");
    EXPECT_LT(r.seconds, 5.0);
}

}  // namespace quelt_test
