// Runs the real binaries for the end-to-end tests: quelt-sim on a
// pseudo-terminal of its own, quelt against it, with every byte of output
// captured and every run bounded.
#pragma once

#include <cstdint>
#include <string>
#include <sys/types.h>
#include <vector>

using Bytes = std::vector<uint8_t>;

struct RunResult {
    int status = -1;  // exit status, or 128 + signal number
    bool signaled = false;
    bool killed = false;  // still running at the harness's limit
    std::string out;
    std::string err;
    double seconds = 0;
    long maxRssKb = 0;  // peak resident set size
};

// Runs argv[0] with the given arguments; kills it after limitSeconds.
RunResult runProgram(const std::vector<std::string> &argv, double limitSeconds = 20);

// quelt with the given arguments.
RunResult runQuelt(const std::vector<std::string> &args, double limitSeconds = 20);

class SimProcess
{
  public:
    // Starts quelt-sim with these options and a log of its own, and waits
    // for the device line it prints once it is ready.
    explicit SimProcess(const std::vector<std::string> &options = {});
    ~SimProcess();
    SimProcess(const SimProcess &) = delete;
    SimProcess &operator=(const SimProcess &) = delete;

    const std::string &device() const { return device_; }
    // The request frames the simulator received, one per line, in hex.
    std::vector<std::string> frames() const;
    // Waits until the simulator's output (after the device line) holds
    // text; false if it did not within the time.
    bool waitFor(const std::string &text, double seconds = 10);
    // Takes in what the simulator has printed so far, so that a long run
    // never fills the pipe and stalls it.
    void drain() { waitFor(std::string(1, '\0'), 0); }
    // Sends SIGTERM; returns the exit status and all its output after the
    // device line.
    int stop(std::string *output = nullptr);

  private:
    std::string seen_;
    pid_t pid_ = -1;
    int out_ = -1;
    std::string device_;
    std::string log_;
    std::string dir_;
};

// Modbus CRC of bytes, as RTU appends it: low byte first.
Bytes withCrc(Bytes frame);
std::string hex(const Bytes &bytes, const char *sep = " ");
// libmodbus's debug trace of a sent frame: [01][17]...
std::string traceSent(const Bytes &frame);
std::string traceReceived(const Bytes &frame);

// The function-23 request quelt must send for the message (text plus CR).
Bytes transferRequest(int port, const std::string &message);
// Slave 1's reply carrying the status word.
Bytes statusReply(uint16_t status);
// quelt's verdict on a status word for an n-byte message: the three status
// lines, and the three shortfall lines when fewer than n bytes were queued.
std::string statusLines(uint16_t status, int n);

// A pseudo-terminal with nobody at the far end but the test: the master
// side, closed with the object, and the path a client opens.
class Pty
{
  public:
    Pty();
    ~Pty();
    Pty(const Pty &) = delete;
    Pty &operator=(const Pty &) = delete;
    int master() const { return master_; }
    const std::string &path() const { return path_; }

  private:
    int master_ = -1;
    std::string path_;
};

// A temporary directory removed with the object.
class TempDir
{
  public:
    TempDir();
    ~TempDir();
    const std::string &path() const { return path_; }

  private:
    std::string path_;
};
