// quelt against a misbehaving line: every run ends in bounded time, says
// what went wrong, and claims success only for a genuine reply that shows
// the whole message queued. And the simulator survives whatever it is sent.

#include "cases.h"
#include "harness.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <csignal>
#include <poll.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>

namespace quelt_test
{

const std::string kHowdy = "Howdy, modbus!";
const std::string kRequest = hex(transferRequest(0, kHowdy + "\r"));

bool hasStatusLines(const std::string &out)
{
    return out.find("REG RD_ADDR") != std::string::npos;
}

// ---- Replies that must not be taken ------------------------------------------

struct FaultCase {
    const char *name;
    std::vector<std::string> simOptions;
    std::string err;  // standard error, exactly
};

const FaultCase kFaults[] = {
    // Nothing comes back: the response timeout, then the library's wait.
    {"NoReply",
     {"--fault", "silent"},
     "ERROR Connection timed out: select\nERROR Transfer failed: Connection timed out\n"},
    // The reply comes after quelt stopped waiting.
    {"LateReply",
     {"--fault", "delay", "--delay", "700"},
     "ERROR Connection timed out: select\nERROR Transfer failed: Connection timed out\n"},
    {"BadCrc",
     {"--fault", "bad-crc"},
     "ERROR CRC received 0xB94F != CRC calculated 0xB9B0\nERROR Transfer failed: Invalid CRC\n"},
    // A flipped data bit is caught by the CRC.
    {"FlippedByte",
     {"--fault", "flip"},
     "ERROR CRC received 0xB9B0 != CRC calculated 0x7870\nERROR Transfer failed: Invalid CRC\n"},
    {"OtherSlave",
     {"--fault", "other-slave"},
     "The responding slave 2 isn't the requested slave 1\nERROR Transfer failed: Response not from requested "
     "slave\n"},
    {"WrongFunction",
     {"--fault", "wrong-function"},
     "Received function not corresponding to the request (0x3 != 0x17)\nERROR Transfer failed: Invalid "
     "data\n"},
    {"ByteCountZero",
     {"--fault", "count-small"},
     "Message length not corresponding to the computed length (5 != 7)\nERROR Transfer failed: Invalid "
     "data\n"},
    {"ByteCountTooLarge",
     {"--fault", "count-large"},
     "Message length not corresponding to the computed length (9 != 7)\nERROR Transfer failed: Invalid "
     "data\n"},
    {"ByteCountFF",
     {"--fault", "count-ff"},
     "ERROR Invalid data: too many data\nERROR Transfer failed: Invalid data\n"},
    // Three bytes, then silence.
    {"Truncated",
     {"--fault", "truncate"},
     "ERROR Connection timed out: select\nERROR Transfer failed: Connection timed out\n"},
    // Noise ahead of the reply puts the frame out of step.
    {"GarbageFirst",
     {"--fault", "garbage"},
     "ERROR Connection timed out: select\nERROR Transfer failed: Connection timed out\n"},
    // Gaps between bytes longer than the byte timeout.
    {"TrickleTooSlow",
     {"--fault", "trickle", "--delay", "600"},
     "ERROR Connection timed out: select\nERROR Transfer failed: Connection timed out\n"},
    // The line hangs up once the request is in: end of file on the read.
    {"HangupDuringRequest",
     {"--fault", "hangup-during"},
     "ERROR Connection reset by peer: read\nERROR Transfer failed: Connection reset by peer\n"},
};

class Fault : public testing::TestWithParam<FaultCase>
{
};

TEST_P(Fault, FailsPromptlyWithoutStatusLines)
{
    const FaultCase &c = GetParam();
    SimProcess sim(c.simOptions);
    RunResult r = runQuelt({sim.device(), "0", kHowdy});
    EXPECT_EQ(r.status, 255);
    EXPECT_FALSE(r.signaled);
    EXPECT_EQ(r.err, c.err);
    EXPECT_FALSE(hasStatusLines(r.out)) << r.out;
    EXPECT_LT(r.seconds, 4.5);  // ended by the library, well before the deadline
    EXPECT_EQ(sim.frames(), std::vector<std::string>{kRequest});
    EXPECT_EQ(sim.stop(), 0);
}

INSTANTIATE_TEST_SUITE_P(Replies, Fault, testing::ValuesIn(kFaults), CaseName());

// ---- Replies that are slow or odd but genuine ---------------------------------

struct GenuineCase {
    const char *name;
    std::vector<std::string> simOptions;
    uint16_t status;
};

const GenuineCase kGenuine[] = {
    // A byte every 100 ms stays inside the byte timeout.
    {"Trickled", {"--fault", "trickle", "--delay", "100"}, 0xF00F},
    // Late, but within the response timeout.
    {"Delayed", {"--fault", "delay", "--delay", "200"}, 0xF00F},
    // The device claims more than was sent: not the whole message, a failure.
    {"AcceptsMoreThanSent", {"--accept", "200"}, 0xF0C8},
    {"AcceptsFewer", {"--accept", "3"}, 0xF003},
    {"AcceptsNothing", {"--accept", "0"}, 0xF000},
};

class Genuine : public testing::TestWithParam<GenuineCase>
{
};

TEST_P(Genuine, IsJudgedByItsAcceptedCount)
{
    const GenuineCase &c = GetParam();
    SimProcess sim(c.simOptions);
    RunResult r = runQuelt({sim.device(), "0", kHowdy});
    int accepted = c.status & 0xFF;
    std::string expected = statusLines(c.status, 15);
    EXPECT_EQ(r.status, accepted == 15 ? 0 : 255);
    ASSERT_GE(r.out.size(), expected.size());
    EXPECT_EQ(r.out.substr(r.out.size() - expected.size()), expected);
    EXPECT_EQ(r.err, "");
}

INSTANTIATE_TEST_SUITE_P(Replies, Genuine, testing::ValuesIn(kGenuine), CaseName());

// ---- Exception replies --------------------------------------------------------

struct ExceptionCase {
    const char *name;
    int code;
    std::string text;  // what quelt says of it
};

const ExceptionCase kExceptions[] = {
    {"IllegalFunction", 1, "Illegal function"},
    {"IllegalAddress", 2, "Illegal data address"},
    {"IllegalValue", 3, "Illegal data value"},
    {"DeviceFailure", 4, "Slave device or server failure"},
    {"Acknowledge", 5, "Acknowledge"},
    {"Busy", 6, "Slave device or server is busy"},
    {"NegativeAcknowledge", 7, "Negative acknowledge"},
    {"MemoryParity", 8, "Memory parity error"},
    // Codes 0 and 9 have no name in Modbus; the library has no text for them.
    {"Code0", 0, "exception code 0, not defined by Modbus"},
    {"Code9", 9, "exception code 9, not defined by Modbus"},
    {"GatewayPath", 10, "Gateway path unavailable"},
    {"GatewayTarget", 11, "Target device failed to respond"},
    // Beyond the defined range.
    {"Code12", 12, "Invalid exception code"},
    {"Code255", 255, "Invalid exception code"},
};

class Exception : public testing::TestWithParam<ExceptionCase>
{
};

TEST_P(Exception, IsNamedInWords)
{
    const ExceptionCase &c = GetParam();
    SimProcess sim({"--fault", "exception", "--code", std::to_string(c.code)});
    RunResult r = runQuelt({sim.device(), "0", kHowdy});
    EXPECT_EQ(r.status, 255);
    std::string last = "ERROR Transfer failed: " + c.text + "\n";
    ASSERT_GE(r.err.size(), last.size()) << r.err;
    EXPECT_EQ(r.err.substr(r.err.size() - last.size()), last);
    EXPECT_FALSE(hasStatusLines(r.out));
    Bytes reply = withCrc({1, 0x97, static_cast<uint8_t>(c.code)});
    EXPECT_NE(r.out.find(traceReceived(reply)), std::string::npos) << r.out;
}

INSTANTIATE_TEST_SUITE_P(Codes, Exception, testing::ValuesIn(kExceptions), CaseName());

// ---- The deadline ---------------------------------------------------------------

// The line hangs up before the request gets out: the library retries the
// failing send without end, and only the deadline stops the run.
TEST(Deadline, EndsARunThatTheLibraryWouldRetryForever)
{
    SimProcess sim({"--fault", "hangup-before", "--fault-on", "1"});
    RunResult r = runQuelt({sim.device(), "0", kHowdy}, 15);
    EXPECT_FALSE(r.killed);
    EXPECT_EQ(r.status, 255);
    EXPECT_FALSE(r.signaled);
    const std::string last = "ERROR Transfer failed: no answer from the device within 5 s\n";
    ASSERT_GE(r.err.size(), last.size()) << r.err << r.out;
    EXPECT_EQ(r.err.substr(r.err.size() - last.size()), last);
    EXPECT_NE(r.err.find("ERROR Input/output error\n"), std::string::npos) << r.err;
    EXPECT_FALSE(hasStatusLines(r.out));
    EXPECT_GE(r.seconds, 4.9);
    EXPECT_LT(r.seconds, 7.0);
    EXPECT_TRUE(sim.frames().empty());

    // The simulator brings the line back for the next client.
    RunResult next = runQuelt({sim.device(), "0", kHowdy});
    EXPECT_EQ(next.status, 0) << next.err;
    std::string out;
    EXPECT_EQ(sim.stop(&out), 0);
    EXPECT_NE(out.find("served 1 requests (1 faulted, 0 frames rejected)"), std::string::npos) << out;
}

// ---- Recovery and stale input ---------------------------------------------------

// A fault on one request leaves the runs around it untouched.
TEST(Recovery, OnlyTheFaultyRequestFails)
{
    SimProcess sim({"--fault", "bad-crc", "--fault-on", "2"});
    EXPECT_EQ(runQuelt({sim.device(), "0", kHowdy}).status, 0);
    RunResult bad = runQuelt({sim.device(), "0", kHowdy});
    EXPECT_EQ(bad.status, 255);
    EXPECT_FALSE(hasStatusLines(bad.out));
    EXPECT_EQ(runQuelt({sim.device(), "0", kHowdy}).status, 0);
    EXPECT_EQ(sim.frames(), std::vector<std::string>(3, kRequest));
    EXPECT_EQ(sim.stop(), 0);
}

// A reply that arrives after its run has ended waits in the line's input. The
// next run must not take it for its own: here the stale one reports all 15
// bytes queued, while the genuine one has room for a single byte.
TEST(Recovery, AStaleReplyIsNotTakenForTheAnswer)
{
    SimProcess sim(
        {"--queue", "16", "--drain-rate", "0", "--fault", "delay", "--delay", "1300", "--fault-on", "1"});
    RunResult first = runQuelt({sim.device(), "0", kHowdy});
    EXPECT_EQ(first.status, 255);
    ASSERT_TRUE(sim.waitFor("reply sent after 1300 ms"));

    RunResult second = runQuelt({sim.device(), "0", kHowdy});
    EXPECT_EQ(second.status, 255);
    EXPECT_NE(second.out.find("REG RD_ADDR      = 0x0001\nTX_WRITE_ACCEPT = 1\n"), std::string::npos)
        << second.out;
    EXPECT_EQ(sim.stop(), 0);
}

// ---- The simulator against hostile clients --------------------------------------

class RawLine
{
  public:
    explicit RawLine(const std::string &device) { open(device); }
    ~RawLine() { close(); }

    void open(const std::string &device)
    {
        fd_ = ::open(device.c_str(), O_RDWR | O_NOCTTY);
        termios t{};
        tcgetattr(fd_, &t);
        cfmakeraw(&t);
        tcsetattr(fd_, TCSANOW, &t);
    }
    void close()
    {
        if (fd_ >= 0) {
            ::close(fd_);
        }
        fd_ = -1;
    }
    bool ok() const { return fd_ >= 0; }
    void send(const Bytes &b) { ASSERT_EQ(write(fd_, b.data(), b.size()), static_cast<ssize_t>(b.size())); }
    // Reads until n bytes came or the line stayed quiet for quietMs.
    Bytes receive(size_t n, int quietMs)
    {
        Bytes got;
        while (got.size() < n) {
            pollfd pfd{fd_, POLLIN, 0};
            if (poll(&pfd, 1, quietMs) <= 0) {
                break;
            }
            uint8_t buf[300];
            ssize_t k = read(fd_, buf, sizeof buf);
            if (k <= 0) {
                break;
            }
            got.insert(got.end(), buf, buf + k);
        }
        return got;
    }

  private:
    int fd_ = -1;
};

const Bytes kProbe = withCrc({1, 3, 0x03, 0x82, 0, 1});  // read port 0's status

// After noise the simulator waits for the line to fall silent; a request
// sent meanwhile may be lost with the noise, so the probe is repeated until
// answered. Whatever comes back must be the probe's reply, nothing else.
void expectServing(RawLine &line, uint16_t status)
{
    Bytes want = withCrc({1, 3, 2, uint8_t(status >> 8), uint8_t(status)});
    Bytes got;
    for (int attempt = 0; attempt < 10 && got.empty(); ++attempt) {
        line.send(kProbe);
        got = line.receive(want.size(), 1000);
    }
    EXPECT_EQ(hex(got), hex(want));
}

struct HostileCase {
    const char *name;
    Bytes frame;
    Bytes reply;  // the answer expected, empty where none may come
};

Bytes noise()
{
    Bytes b;
    for (int i = 0; i < 300; ++i) {
        b.push_back(static_cast<uint8_t>(i * 37 + 11));
    }
    return b;
}

const HostileCase kHostile[] = {
    // Unknown function: exception 1.
    {"UnknownFunction", withCrc({1, 0x41}), withCrc({1, 0xC1, 1})},
    // Reading no registers: exception 3.
    {"ReadZeroRegisters", withCrc({1, 3, 0x03, 0x82, 0, 0}), withCrc({1, 0x83, 3})},
    // Beyond the register map: exception 2.
    {"ReadBeyondMap", withCrc({1, 3, 0xFF, 0x00, 0, 1}), withCrc({1, 0x83, 2})},
    // A function-23 request whose byte count disagrees with its count.
    {"ByteCountMismatch", withCrc({1, 23, 0x03, 0x82, 0, 1, 0x03, 0x86, 0, 2, 2, 0, 1}),
     withCrc({1, 0x97, 3})},
    // Writing past the end of the map: exception 2, and nothing queued.
    {"WriteBeyondMap", withCrc({1, 16, 0x04, 0xFF, 0, 2, 4, 0, 1, 0x41, 0}), withCrc({1, 0x90, 2})},
    // Ignored: not for this slave, broken CRC, broadcast, and noise.
    {"OtherSlave", withCrc({7, 3, 0x03, 0x82, 0, 1}), {}},
    {"BadCrc", {1, 3, 0x03, 0x82, 0, 1, 0x12, 0x34}, {}},
    {"Broadcast", withCrc({0, 6, 0, 10, 0, 5}), {}},
    {"Noise", noise(), {}},
    // A header promising more bytes than any frame holds.
    {"HugeByteCount", {1, 16, 0x03, 0x86, 0, 100, 250, 0, 0, 0}, {}},
};

class Hostile : public testing::TestWithParam<HostileCase>
{
};

TEST_P(Hostile, IsAnsweredAsModbusSaysAndServingGoesOn)
{
    const HostileCase &c = GetParam();
    SimProcess sim;
    RawLine line(sim.device());
    ASSERT_TRUE(line.ok());
    line.send(c.frame);
    if (!c.reply.empty()) {
        EXPECT_EQ(hex(line.receive(c.reply.size(), 2000)), hex(c.reply));
    }
    expectServing(line, 0);
    EXPECT_EQ(runQuelt({sim.device(), "0", kHowdy}).status, 0);
    EXPECT_EQ(sim.stop(), 0);
}

INSTANTIATE_TEST_SUITE_P(Frames, Hostile, testing::ValuesIn(kHostile), CaseName());

// A client that hangs up halfway through a frame leaves no trace on the next.
TEST(Hostile, ClientHangingUpMidFrame)
{
    SimProcess sim;
    {
        RawLine line(sim.device());
        Bytes half = transferRequest(0, kHowdy + "\r");
        half.resize(12);
        line.send(half);
    }
    RunResult r = runQuelt({sim.device(), "0", kHowdy});
    // The half frame may swallow this run's request; the one after is clean.
    if (r.status != 0) {
        r = runQuelt({sim.device(), "0", kHowdy});
    }
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(sim.stop(), 0);
}

// Function 16 into a write block is a transfer too; the status register then
// tells the result.
TEST(Hostile, WriteMultipleRegistersIsATransfer)
{
    SimProcess sim;
    RawLine line(sim.device());
    line.send(withCrc({1, 16, 0x04, 0x86, 0, 3, 6, 0, 3, 'o', 'k', '\r', 0}));
    EXPECT_EQ(hex(line.receive(8, 2000)), hex(withCrc({1, 16, 0x04, 0x86, 0, 3})));
    line.send(withCrc({1, 3, 0x04, 0x82, 0, 1}));
    EXPECT_EQ(hex(line.receive(7, 2000)), hex(withCrc({1, 3, 2, 252, 3})));
    std::string out;
    EXPECT_EQ(sim.stop(&out), 0);
    EXPECT_NE(out.find(" port 1 <- \"ok\\r\"\n"), std::string::npos) << out;
}

// ---- Every byte value ---------------------------------------------------------

TEST(Text, EveryValueFrom1To255ArrivesExactly)
{
    SimProcess sim;
    std::vector<std::string> expected;
    for (int first = 1; first <= 255; first += 100) {
        std::string text;
        for (int b = first; b < first + 100 && b <= 255; ++b) {
            text += static_cast<char>(b);
        }
        RunResult r = runQuelt({sim.device(), "1", text});
        EXPECT_EQ(r.status, 0) << r.err;
        expected.push_back(hex(transferRequest(1, text + "\r")));
    }
    EXPECT_EQ(sim.frames(), expected);
    EXPECT_EQ(sim.stop(), 0);
}

}  // namespace quelt_test

namespace quelt_test
{

// Two pseudo-terminals joined by socat, standing in for a serial cable: the
// simulator serves on one end as on a real port, quelt uses the other.
class Cable
{
  public:
    Cable() : a_(dir_.path() + "/a"), b_(dir_.path() + "/b")
    {
        std::string cmd = "exec socat pty,raw,echo=0,link=" + a_ + " pty,raw,echo=0,link=" + b_;
        pid_ = fork();
        if (pid_ == 0) {
            execl("/bin/sh", "sh", "-c", cmd.c_str(), static_cast<char *>(nullptr));
            _exit(127);
        }
        // Ready once both links exist.
        for (int i = 0; i < 500 && !(access(a_.c_str(), F_OK) == 0 && access(b_.c_str(), F_OK) == 0); ++i) {
            usleep(10000);
        }
    }
    ~Cable() { cut(); }
    void cut()
    {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
            pid_ = -1;
        }
    }
    const std::string &a() const { return a_; }
    const std::string &b() const { return b_; }

  private:
    TempDir dir_;
    std::string a_;
    std::string b_;
    pid_t pid_ = -1;
};

TEST(SerialPort, SimulatorServesOnAGivenDevice)
{
    Cable cable;
    SimProcess sim({cable.a()});
    EXPECT_EQ(sim.device(), cable.a());
    RunResult r = runQuelt({cable.b(), "1", kHowdy});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("TX_WRITE_ACCEPT = 15\n"), std::string::npos);
    EXPECT_EQ(sim.frames(), std::vector<std::string>{hex(transferRequest(1, kHowdy + "\r"))});
    EXPECT_EQ(sim.stop(), 0);
}

// A serial line that goes away (an adapter pulled) ends the simulator with
// status 1 instead of a busy loop.
TEST(SerialPort, SimulatorStopsWhenTheLineIsLost)
{
    Cable cable;
    SimProcess sim({cable.a()});
    cable.cut();
    EXPECT_TRUE(sim.waitFor(" served 0 requests"));
    EXPECT_EQ(sim.stop(), 1);
}

}  // namespace quelt_test
