#include "harness.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <pty.h>
#include <spawn.h>
#include <stdexcept>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace
{

using Clock = std::chrono::steady_clock;

double since(Clock::time_point t)
{
    return std::chrono::duration<double>(Clock::now() - t).count();
}

pid_t spawn(const std::vector<std::string> &argv, int outFd, int errFd)
{
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, outFd, 1);
    posix_spawn_file_actions_adddup2(&actions, errFd, 2);
    std::vector<char *> args;
    for (const auto &a : argv) {
        args.push_back(const_cast<char *>(a.c_str()));
    }
    args.push_back(nullptr);
    pid_t pid = -1;
    int rc = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
        throw std::runtime_error("cannot start " + argv[0] + ": " + std::strerror(rc));
    }
    return pid;
}

int decode(int wstatus, bool *signaled)
{
    *signaled = WIFSIGNALED(wstatus);
    return *signaled ? 128 + WTERMSIG(wstatus) : WEXITSTATUS(wstatus);
}

}  // namespace

RunResult runProgram(const std::vector<std::string> &argv, double limitSeconds)
{
    int out[2];
    int err[2];
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe");
    }
    RunResult r;
    auto start = Clock::now();
    pid_t pid = spawn(argv, out[1], err[1]);
    close(out[1]);
    close(err[1]);

    pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    std::string *sinks[2] = {&r.out, &r.err};
    int open = 2;
    while (open > 0) {
        int left = static_cast<int>((limitSeconds - since(start)) * 1000);
        if (left <= 0) {
            r.killed = true;
            kill(pid, SIGKILL);
            break;
        }
        if (poll(fds, 2, left) < 0 && errno != EINTR) {
            break;
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd >= 0 && fds[i].revents != 0) {
                char buf[4096];
                ssize_t n = read(fds[i].fd, buf, sizeof buf);
                if (n > 0) {
                    sinks[i]->append(buf, static_cast<size_t>(n));
                } else {
                    fds[i].fd = -1;
                    --open;
                }
            }
        }
    }
    int wstatus = 0;
    rusage usage{};
    wait4(pid, &wstatus, 0, &usage);
    r.seconds = since(start);
    r.maxRssKb = usage.ru_maxrss;
    r.status = decode(wstatus, &r.signaled);
    close(out[0]);
    close(err[0]);
    return r;
}

RunResult runQuelt(const std::vector<std::string> &args, double limitSeconds)
{
    std::vector<std::string> argv{QUELT_BIN};
    argv.insert(argv.end(), args.begin(), args.end());
    return runProgram(argv, limitSeconds);
}

SimProcess::SimProcess(const std::vector<std::string> &options)
{
    char tmpl[] = "/tmp/quelt-sim-XXXXXX";
    if (mkdtemp(tmpl) == nullptr) {
        throw std::runtime_error("mkdtemp");
    }
    dir_ = tmpl;
    log_ = dir_ + "/frames.log";
    std::vector<std::string> argv{QUELT_SIM_BIN, "--log", log_};
    argv.insert(argv.end(), options.begin(), options.end());

    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe");
    }
    pid_ = spawn(argv, out[1], 2);
    close(out[1]);
    out_ = out[0];

    // The first line is the device, printed once the simulator serves.
    auto start = Clock::now();
    char c = 0;
    while (since(start) < 10) {
        pollfd pfd{out_, POLLIN, 0};
        if (poll(&pfd, 1, 100) <= 0) {
            continue;
        }
        if (read(out_, &c, 1) != 1) {
            break;
        }
        if (c == '\n') {
            return;
        }
        device_ += c;
    }
    stop();
    throw std::runtime_error("quelt-sim did not get ready");
}

SimProcess::~SimProcess()
{
    stop();
    std::remove(log_.c_str());
    rmdir(dir_.c_str());
}

std::vector<std::string> SimProcess::frames() const
{
    std::vector<std::string> lines;
    std::ifstream in(log_);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

bool SimProcess::waitFor(const std::string &text, double seconds)
{
    auto start = Clock::now();
    while (seen_.find(text) == std::string::npos) {
        int left = std::max(0, static_cast<int>((seconds - since(start)) * 1000));
        pollfd pfd{out_, POLLIN, 0};
        if (poll(&pfd, 1, left) <= 0) {
            return false;
        }
        char buf[4096];
        ssize_t n = read(out_, buf, sizeof buf);
        if (n <= 0) {
            return false;
        }
        seen_.append(buf, static_cast<size_t>(n));
    }
    return true;
}

int SimProcess::stop(std::string *output)
{
    if (pid_ < 0) {
        return -1;
    }
    kill(pid_, SIGTERM);
    std::string text = seen_;
    char buf[4096];
    ssize_t n;
    while ((n = read(out_, buf, sizeof buf)) > 0) {
        text.append(buf, static_cast<size_t>(n));
    }
    close(out_);
    int wstatus = 0;
    waitpid(pid_, &wstatus, 0);
    pid_ = -1;
    if (output != nullptr) {
        *output = text;
    }
    bool signaled = false;
    return decode(wstatus, &signaled);
}

Bytes withCrc(Bytes frame)
{
    uint16_t crc = 0xFFFF;
    for (uint8_t b : frame) {
        crc ^= b;
        for (int i = 0; i < 8; ++i) {
            crc = (crc & 1) ? (crc >> 1) ^ 0xA001 : crc >> 1;
        }
    }
    frame.push_back(crc & 0xFF);
    frame.push_back(crc >> 8);
    return frame;
}

std::string hex(const Bytes &bytes, const char *sep)
{
    std::string s;
    char b[4];
    for (size_t i = 0; i < bytes.size(); ++i) {
        std::snprintf(b, sizeof b, "%02X", bytes[i]);
        s += (i ? sep : "");
        s += b;
    }
    return s;
}

std::string traceSent(const Bytes &frame)
{
    return "[" + hex(frame, "][") + "]";
}
std::string traceReceived(const Bytes &frame)
{
    return "<" + hex(frame, "><") + ">";
}

Bytes transferRequest(int port, const std::string &message)
{
    int n = static_cast<int>(message.size());
    int count = (n + 1) / 2 + 1;
    int wr = port == 0 ? 902 : 1158;
    int rd = wr - 4;
    Bytes f{1,           23, uint8_t(rd >> 8), uint8_t(rd),        0, 1,         uint8_t(wr >> 8),
            uint8_t(wr), 0,  uint8_t(count),   uint8_t(2 * count), 0, uint8_t(n)};
    for (int i = 0; i < 2 * (count - 1); ++i) {
        f.push_back(i < n ? static_cast<uint8_t>(message[i]) : 0);
    }
    return withCrc(f);
}

Bytes statusReply(uint16_t status)
{
    return withCrc({1, 23, 2, uint8_t(status >> 8), uint8_t(status)});
}

std::string statusLines(uint16_t status, int n)
{
    char text[256];
    int accepted = status & 0xFF;
    int len = std::snprintf(text, sizeof text,
                            "REG RD_ADDR      = 0x%04X\nTX_WRITE_ACCEPT = %d\nTX_QUEUE_FREE   = %d\n", status,
                            accepted, status >> 8);
    if (accepted != n) {
        std::snprintf(text + len, sizeof text - static_cast<size_t>(len),
                      "Error: queltData(...) failed.\nrequested write of  %d\nsuccessfully queued %d\n", n,
                      accepted);
    }
    return text;
}

Pty::Pty()
{
    int slave = -1;
    char name[128];
    if (openpty(&master_, &slave, name, nullptr, nullptr) != 0) {
        throw std::runtime_error("openpty");
    }
    close(slave);
    path_ = name;
}

Pty::~Pty()
{
    close(master_);
}

TempDir::TempDir()
{
    char tmpl[] = "/tmp/quelt-test-XXXXXX";
    if (mkdtemp(tmpl) == nullptr) {
        throw std::runtime_error("mkdtemp");
    }
    path_ = tmpl;
}

TempDir::~TempDir()
{
    std::string cmd = "rm -rf '" + path_ + "'";
    if (std::system(cmd.c_str()) != 0) {
        std::fprintf(stderr, "cannot remove %s\n", path_.c_str());
    }
}
