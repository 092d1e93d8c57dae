// quelt-sim: a Modbus RTU slave at unit 1 that imitates the far end of
// quelt's line: two instrument ports, each with a transmit queue that is fed
// through a write block and reported through a status register.
//
// Framing, CRC and the register mapping are libmodbus's own. The simulator
// only steps in to turn a write into a port's write block into queued bytes
// and a status word, and to damage, delay or pace the reply on request.

#include <modbus/modbus.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace
{

constexpr int kSlave = 1;
constexpr int kRegisters = 1280;  // holding registers 0 to 1279
constexpr std::array<int, 2> kWriteBlock{902, 1158};
constexpr std::array<int, 2> kStatusRegister{898, 1154};
constexpr int kTextMax = 128;  // character area of a transfer block
// One character on a 19200-baud 8N2 line: start, 8 data and 2 stop bits.
constexpr double kCharSeconds = 11.0 / 19200.0;
constexpr double kHangupAfterOpen = 0.2;  // seconds

class Fd
{
  public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    ~Fd() { reset(); }
    Fd(Fd &&other) noexcept : fd_(other.release()) {}
    Fd &operator=(Fd &&other) noexcept
    {
        reset(other.release());
        return *this;
    }
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;

    int get() const { return fd_; }
    int release()
    {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }
    void reset(int fd = -1)
    {
        if (fd_ >= 0) {
            ::close(fd_);
        }
        fd_ = fd;
    }
    explicit operator bool() const { return fd_ >= 0; }

  private:
    int fd_;
};

struct ModbusFree {
    void operator()(modbus_t *ctx) const { modbus_free(ctx); }
};
struct FileClose {
    void operator()(FILE *f) const { std::fclose(f); }
};
struct MappingFree {
    void operator()(modbus_mapping_t *map) const { modbus_mapping_free(map); }
};

enum class Fault {
    None,
    Silent,         // no reply
    Delay,          // reply after --delay MS
    BadCrc,         // last CRC byte inverted
    Flip,           // one data byte flipped, CRC left as it was
    Exception,      // exception reply with --code N
    OtherSlave,     // valid reply from slave 2
    WrongFunction,  // valid reply with function 3
    CountSmall,     // byte count 0, no data
    CountLarge,     // byte count 4 with an extra register
    CountFF,        // byte count 0xFF
    Truncate,       // first three bytes, then silence
    Garbage,        // noise bytes ahead of the reply
    Trickle,        // reply a byte at a time, --delay MS apart
    HangupBefore,   // the line hangs up once the master has opened it
    HangupDuring,   // the line hangs up as the request arrives
};

struct FaultName {
    const char *name;
    Fault fault;
};

constexpr std::array<FaultName, 16> kFaults{{
    {"none", Fault::None},
    {"silent", Fault::Silent},
    {"delay", Fault::Delay},
    {"bad-crc", Fault::BadCrc},
    {"flip", Fault::Flip},
    {"exception", Fault::Exception},
    {"other-slave", Fault::OtherSlave},
    {"wrong-function", Fault::WrongFunction},
    {"count-small", Fault::CountSmall},
    {"count-large", Fault::CountLarge},
    {"count-ff", Fault::CountFF},
    {"truncate", Fault::Truncate},
    {"garbage", Fault::Garbage},
    {"trickle", Fault::Trickle},
    {"hangup-before", Fault::HangupBefore},
    {"hangup-during", Fault::HangupDuring},
}};

const char *faultName(Fault fault)
{
    for (const auto &f : kFaults) {
        if (f.fault == fault) {
            return f.name;
        }
    }
    return "?";
}

struct Options {
    std::string device;  // empty: serve on a pseudo-terminal of our own
    std::string link;
    std::string log;
    int queue = 255;
    double drainRate = -1;  // bytes per second; negative: empty between requests
    Fault fault = Fault::None;
    int faultOn = 0;  // 0: every request
    int delayMs = 100;
    int code = MODBUS_EXCEPTION_SLAVE_OR_SERVER_FAILURE;
    int accept = -1;  // forced accepted count, -1: the real one
    bool pace = false;
};

const char kUsage[] = "usage: quelt-sim [options] [DEVICE]\n"
                      "  Serves as Modbus RTU slave 1 on DEVICE (19200 8N2), or on a new\n"
                      "  pseudo-terminal whose path is printed as the first line.\n"
                      "  --link PATH        symbolic link to the pseudo-terminal\n"
                      "  --queue N          transmit queue capacity, 1 to 255 (255)\n"
                      "  --drain-rate B     bytes per second the instruments take (default:\n"
                      "                     the whole queue between requests; 0: never)\n"
                      "  --log FILE         append each request frame received, in hex\n"
                      "  --pace             emulate 19200-baud 8N2 wire timing\n"
                      "  --fault KIND       none silent delay bad-crc flip exception other-slave\n"
                      "                     wrong-function count-small count-large count-ff\n"
                      "                     truncate garbage trickle hangup-before hangup-during\n"
                      "  --fault-on N       apply the fault (and --accept) to request N only,\n"
                      "                     hangup-before to the Nth client to open the line\n"
                      "  --delay MS         delay for 'delay', gap per byte for 'trickle' (100)\n"
                      "  --code N           exception code for 'exception' (4)\n"
                      "  --accept N         report N bytes accepted, whatever was queued\n";

bool parseInt(const char *text, long lo, long hi, int &out)
{
    char *end = nullptr;
    errno = 0;
    long v = std::strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || v < lo || v > hi) {
        return false;
    }
    out = static_cast<int>(v);
    return true;
}

bool parseOptions(int argc, char **argv, Options &opt)
{
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        auto value = [&]() -> const char * { return i + 1 < argc ? argv[++i] : nullptr; };
        const char *v = nullptr;
        bool ok = true;
        if (arg == "--pace") {
            opt.pace = true;
            continue;
        }
        if (arg == "--help") {
            std::fputs(kUsage, stdout);
            std::exit(0);
        }
        if (arg.size() < 2 || arg.compare(0, 2, "--") != 0) {
            if (!opt.device.empty() || arg.empty()) {
                return false;
            }
            opt.device = arg;
            continue;
        }
        v = value();
        if (v == nullptr) {
            return false;
        }
        if (arg == "--link") {
            opt.link = v;
        } else if (arg == "--log") {
            opt.log = v;
        } else if (arg == "--queue") {
            ok = parseInt(v, 1, 255, opt.queue);
        } else if (arg == "--drain-rate") {
            char *end = nullptr;
            opt.drainRate = std::strtod(v, &end);
            ok = end != v && *end == '\0' && opt.drainRate >= 0 && std::isfinite(opt.drainRate);
        } else if (arg == "--fault") {
            auto f = std::find_if(kFaults.begin(), kFaults.end(),
                                  [&](const FaultName &n) { return std::strcmp(n.name, v) == 0; });
            ok = f != kFaults.end();
            if (ok) {
                opt.fault = f->fault;
            }
        } else if (arg == "--fault-on") {
            ok = parseInt(v, 1, 1000000, opt.faultOn);
        } else if (arg == "--delay") {
            ok = parseInt(v, 0, 60000, opt.delayMs);
        } else if (arg == "--code") {
            ok = parseInt(v, 0, 255, opt.code);
        } else if (arg == "--accept") {
            ok = parseInt(v, 0, 255, opt.accept);
        } else {
            ok = false;
        }
        if (!ok) {
            std::fprintf(stderr, "quelt-sim: bad option %s %s\n", arg.c_str(), v);
            return false;
        }
    }
    return true;
}

double now()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + ts.tv_nsec / 1e9;
}

void sleepUntil(double t)
{
    timespec ts{};
    ts.tv_sec = static_cast<time_t>(t);
    ts.tv_nsec = static_cast<long>((t - static_cast<double>(ts.tv_sec)) * 1e9);
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
    }
}

// Wall-clock time of day with milliseconds, for the console lines.
std::string stamp()
{
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    tm local{};
    localtime_r(&ts.tv_sec, &local);
    char text[32];
    std::snprintf(text, sizeof text, "%02d:%02d:%02d.%03ld", local.tm_hour, local.tm_min, local.tm_sec,
                  ts.tv_nsec / 1000000);
    return text;
}

std::string escaped(const uint8_t *bytes, int n)
{
    std::string out;
    for (int i = 0; i < n; ++i) {
        uint8_t c = bytes[i];
        char hex[8];
        if (c == '\r') {
            out += "\\r";
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c >= 0x20 && c < 0x7F) {
            out += static_cast<char>(c);
        } else {
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            out += hex;
        }
    }
    return out;
}

uint16_t crc16(const uint8_t *p, size_t n)
{
    uint16_t crc = 0xFFFF;
    while (n-- > 0) {
        crc ^= *p++;
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc & 1) ? static_cast<uint16_t>((crc >> 1) ^ 0xA001) : static_cast<uint16_t>(crc >> 1);
        }
    }
    return crc;
}

// Replaces the frame's trailing CRC (low byte first, as RTU sends it).
void reseal(std::vector<uint8_t> &frame)
{
    if (frame.size() < 2) {
        return;
    }
    uint16_t crc = crc16(frame.data(), frame.size() - 2);
    frame[frame.size() - 2] = static_cast<uint8_t>(crc & 0xFF);
    frame[frame.size() - 1] = static_cast<uint8_t>(crc >> 8);
}

uint16_t word(const uint8_t *p)
{
    return static_cast<uint16_t>((p[0] << 8) | p[1]);
}

struct Port {
    int used = 0;       // bytes waiting in the transmit queue
    double credit = 0;  // drained bytes not yet taken off the queue
    double lastDrain = 0;
    long queuedTotal = 0;
};

// What a write into a port's write block did, for the console line.
struct Transfer {
    int port = -1;
    int accepted = 0;
    int reported = 0;
    int free = 0;
    const uint8_t *text = nullptr;  // the accepted bytes, inside the request
};

class Simulator
{
  public:
    explicit Simulator(Options opt) : opt_(std::move(opt)) {}

    int run();

  private:
    bool openLine();
    bool reopenHeldSlave();
    void hangUp();
    bool takeOpens();
    void watchOpens();
    void hangUpHeldLine();
    void holdForNextClient();
    bool serveRequest();
    void resync();
    // Request n, or for hangup-before the nth client to open the line.
    bool armedFor(long n) const { return opt_.faultOn == 0 || n == opt_.faultOn; }
    Transfer applyTransfer(const uint8_t *q, int len, bool armed);
    void drain(Port &port, double t);
    std::vector<uint8_t> captureReply(const uint8_t *q, int len);
    void damage(std::vector<uint8_t> &reply, const uint8_t *q);
    void emit(const std::vector<uint8_t> &reply, bool armed, double requestEnd);
    void writeAll(const uint8_t *p, size_t n);
    void writeBytewise(const std::vector<uint8_t> &reply, double first, double gap);
    void logFrame(const uint8_t *q, int len);
    void report(long request, const uint8_t *q, int len, const Transfer &t, bool faulted);

    Options opt_;
    std::unique_ptr<modbus_t, ModbusFree> ctx_;
    std::unique_ptr<modbus_mapping_t, MappingFree> map_;
    Fd master_;     // pseudo-terminal master; a serial port belongs to ctx_
    Fd heldSlave_;  // keeps the pseudo-terminal up between clients
    Fd pipeRead_;
    Fd pipeWrite_;
    Fd inotify_;
    std::string path_;  // device served on
    std::unique_ptr<FILE, FileClose> log_;
    std::array<Port, 2> ports_{};
    long requests_ = 0;
    long faulted_ = 0;
    long rejected_ = 0;
    bool holdOutput_ = false;  // output to the slave is stopped until an open
    double hangupAt_ = 0;      // when the held line is hung up, 0: not due
    long opens_ = 0;           // clients that opened the pseudo-terminal
};

bool setLine(int fd)
{
    termios tios{};
    if (tcgetattr(fd, &tios) != 0) {
        return false;
    }
    cfmakeraw(&tios);
    cfsetispeed(&tios, B19200);
    cfsetospeed(&tios, B19200);
    tios.c_cflag |= CLOCAL | CREAD | CSTOPB;
    tios.c_cc[VMIN] = 0;
    tios.c_cc[VTIME] = 0;
    return tcsetattr(fd, TCSANOW, &tios) == 0;
}

bool Simulator::reopenHeldSlave()
{
    heldSlave_.reset(::open(path_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (!heldSlave_ || !setLine(heldSlave_.get())) {
        std::fprintf(stderr, "quelt-sim: cannot open %s: %s\n", path_.c_str(), std::strerror(errno));
        return false;
    }
    if (holdOutput_) {
        tcflow(heldSlave_.get(), TCOOFF);
    }
    return true;
}

bool Simulator::openLine()
{
    if (opt_.device.empty()) {
        master_.reset(posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
        char name[128];
        if (!master_ || grantpt(master_.get()) != 0 || unlockpt(master_.get()) != 0 ||
            ptsname_r(master_.get(), name, sizeof name) != 0) {
            std::fprintf(stderr, "quelt-sim: cannot create a pseudo-terminal: %s\n", std::strerror(errno));
            return false;
        }
        path_ = name;
        // Holding the slave open keeps the master from reading EIO between
        // clients; raw settings are what each client's close restores.
        if (!reopenHeldSlave()) {
            return false;
        }
        ctx_.reset(modbus_new_rtu(path_.c_str(), 19200, 'N', 8, 2));
        if (!ctx_) {
            return false;
        }
        modbus_set_socket(ctx_.get(), master_.get());
        inotify_.reset(inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
        if (!inotify_ || inotify_add_watch(inotify_.get(), path_.c_str(), IN_OPEN) < 0) {
            std::fprintf(stderr, "quelt-sim: cannot watch %s: %s\n", path_.c_str(), std::strerror(errno));
            return false;
        }
    } else {
        path_ = opt_.device;
        ctx_.reset(modbus_new_rtu(path_.c_str(), 19200, 'N', 8, 2));
        if (!ctx_ || modbus_connect(ctx_.get()) != 0) {
            std::fprintf(stderr, "quelt-sim: cannot open %s: %s\n", path_.c_str(), modbus_strerror(errno));
            return false;
        }
    }
    modbus_set_slave(ctx_.get(), kSlave);
    return true;
}

// Hangs the line up under every client that has it open (they read end of
// file and write EIO), then brings it back for the next one.
void Simulator::hangUp()
{
    ioctl(heldSlave_.get(), TIOCVHANGUP);
    reopenHeldSlave();
    takeOpens();  // our own reopen is not a client
}

// Reads the pending open events of the pseudo-terminal; true when there was
// one.
bool Simulator::takeOpens()
{
    alignas(inotify_event) char buf[4096];
    bool opened = false;
    ssize_t n;
    while ((n = ::read(inotify_.get(), buf, sizeof buf)) > 0) {
        for (char *p = buf; p < buf + n;) {
            const auto *event = reinterpret_cast<const inotify_event *>(p);
            opened = opened || (event->mask & IN_OPEN) != 0;
            p += sizeof(inotify_event) + event->len;
        }
    }
    return opened;
}

// With hangup-before armed for the next client, the line's output is
// stopped before it opens, so that its request cannot get out; the hang-up
// comes once the client has had time to set the line up, so that it strikes
// the send, not the set-up.
void Simulator::watchOpens()
{
    if (!takeOpens()) {
        return;
    }
    ++opens_;
    if (holdOutput_ && hangupAt_ == 0) {
        hangupAt_ = now() + kHangupAfterOpen;
    }
}

void Simulator::holdForNextClient()
{
    holdOutput_ = opt_.fault == Fault::HangupBefore && armedFor(opens_ + 1);
    tcflow(heldSlave_.get(), holdOutput_ ? TCOOFF : TCOON);
}

void Simulator::hangUpHeldLine()
{
    holdOutput_ = false;
    hangupAt_ = 0;
    ++faulted_;
    std::printf("%s [fault hangup-before] line hung up after open\n", stamp().c_str());
    hangUp();
    holdForNextClient();
}

int Simulator::run()
{
    map_.reset(modbus_mapping_new(0, 0, kRegisters, 0));
    int fds[2];
    if (!map_ || pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) {
        std::fprintf(stderr, "quelt-sim: out of resources\n");
        return 1;
    }
    pipeRead_.reset(fds[0]);
    pipeWrite_.reset(fds[1]);
    if (!opt_.log.empty()) {
        log_.reset(std::fopen(opt_.log.c_str(), "ae"));
        if (!log_) {
            std::fprintf(stderr, "quelt-sim: cannot open log %s: %s\n", opt_.log.c_str(),
                         std::strerror(errno));
            return 1;
        }
    }
    if ((opt_.fault == Fault::HangupBefore || opt_.fault == Fault::HangupDuring) && !opt_.device.empty()) {
        std::fprintf(stderr, "quelt-sim: hang-up faults need the simulator's own pseudo-terminal\n");
        return 1;
    }

    sigset_t mask;
    sigemptyset(&mask);
    sigaddset(&mask, SIGINT);
    sigaddset(&mask, SIGTERM);
    sigprocmask(SIG_BLOCK, &mask, nullptr);
    Fd sigfd(signalfd(-1, &mask, SFD_CLOEXEC));
    signal(SIGPIPE, SIG_IGN);

    if (!sigfd || !openLine()) {
        return 1;
    }
    if (!opt_.link.empty()) {
        struct stat st {
        };
        if (lstat(opt_.link.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
            ::unlink(opt_.link.c_str());
        }
        if (symlink(path_.c_str(), opt_.link.c_str()) != 0) {
            std::fprintf(stderr, "quelt-sim: cannot link %s: %s\n", opt_.link.c_str(), std::strerror(errno));
            return 1;
        }
    }
    double t = now();
    for (auto &port : ports_) {
        port.lastDrain = t;
    }
    if (inotify_) {
        holdForNextClient();
    }

    std::printf("%s\n", path_.c_str());
    std::fflush(stdout);

    int line = modbus_get_socket(ctx_.get());
    bool serving = true;
    while (serving) {
        std::array<pollfd, 3> watch{
            {{line, POLLIN, 0}, {sigfd.get(), POLLIN, 0}, {inotify_.get(), POLLIN, 0}}};
        int timeout = hangupAt_ == 0 ? -1 : std::max(0, static_cast<int>((hangupAt_ - now()) * 1000) + 1);
        int rc = poll(watch.data(), inotify_ ? 3 : 2, timeout);
        if (rc < 0) {
            if (errno == EINTR) {
                continue;
            }
            break;
        }
        if (watch[1].revents != 0) {
            break;
        }
        if (inotify_ && watch[2].revents != 0) {
            watchOpens();
        }
        if (hangupAt_ != 0 && now() >= hangupAt_) {
            hangUpHeldLine();
        }
        if ((watch[0].revents & (POLLERR | POLLHUP | POLLNVAL)) ||
            (watch[0].revents != 0 && !serveRequest())) {
            std::fprintf(stderr, "quelt-sim: line %s lost\n", path_.c_str());
            serving = false;
        }
    }

    if (!opt_.link.empty()) {
        ::unlink(opt_.link.c_str());
    }
    log_.reset();
    std::printf("%s served %ld requests (%ld faulted, %ld frames rejected); port 0 queued %ld bytes, port 1 "
                "queued %ld bytes\n",
                stamp().c_str(), requests_, faulted_, rejected_, ports_[0].queuedTotal,
                ports_[1].queuedTotal);
    std::fflush(stdout);
    if (!opt_.device.empty()) {
        modbus_close(ctx_.get());
    }
    return serving ? 0 : 1;
}

// After a frame that could not be taken in, the rest of it is noise: drop
// input until the line has been silent for a few character times.
void Simulator::resync()
{
    ++rejected_;
    int line = modbus_get_socket(ctx_.get());
    uint8_t junk[256];
    pollfd pfd{line, POLLIN, 0};
    while (poll(&pfd, 1, 5) > 0 && (pfd.revents & POLLIN)) {
        if (::read(line, junk, sizeof junk) <= 0) {
            break;
        }
    }
}

// False when the line itself has failed (a serial adapter unplugged).
bool Simulator::serveRequest()
{
    std::array<uint8_t, MODBUS_RTU_MAX_ADU_LENGTH> q{};
    double t0 = now();
    int len = modbus_receive(ctx_.get(), q.data());
    if (len == 0) {
        return true;  // a frame for another slave, which libmodbus ignores
    }
    if (len < 0) {
        if (errno == EIO || errno == EBADF || errno == ENXIO || errno == ECONNRESET) {
            return false;
        }
        resync();
        return true;
    }
    ++requests_;
    long request = requests_;
    logFrame(q.data(), len);
    bool armed = armedFor(request);
    // hangup-before strikes a client before it sends, never a request.
    bool faulted = armed && opt_.fault != Fault::None && opt_.fault != Fault::HangupBefore;

    if (faulted && opt_.fault == Fault::HangupDuring) {
        ++faulted_;
        report(request, q.data(), len, Transfer{}, true);
        hangUp();
        return true;
    }
    Transfer t = applyTransfer(q.data(), len, armed);
    std::vector<uint8_t> reply = captureReply(q.data(), len);
    if (faulted) {
        ++faulted_;
        damage(reply, q.data());
    }
    report(request, q.data(), len, t, faulted);
    emit(reply, faulted, t0 + len * kCharSeconds);
    if (opt_.fault == Fault::HangupBefore) {
        holdForNextClient();
    }
    return true;
}

void Simulator::drain(Port &port, double t)
{
    if (opt_.drainRate < 0) {
        port.used = 0;
    } else {
        port.credit += (t - port.lastDrain) * opt_.drainRate;
        int taken = std::min(port.used, static_cast<int>(port.credit));
        port.used -= taken;
        port.credit = port.used == 0 ? 0 : port.credit - taken;
    }
    port.lastDrain = t;
}

// A write into a port's write block is a transfer block: the count in its
// first register, the text two bytes a register, earlier byte high. The
// status register is set before libmodbus answers the read part, so that a
// function-23 request reads the state after its own write.
Transfer Simulator::applyTransfer(const uint8_t *q, int len, bool armed)
{
    Transfer t;
    int fc = q[1];
    int offset = 0;
    if (q[0] != kSlave) {
        return t;
    }
    if (fc == MODBUS_FC_WRITE_AND_READ_REGISTERS && len >= 11) {
        int readAddr = word(q + 2);
        int readCount = word(q + 4);
        if (readCount < 1 || readCount > MODBUS_MAX_WR_READ_REGISTERS || readAddr + readCount > kRegisters) {
            return t;  // libmodbus answers with an exception, nothing is written
        }
        offset = 6;
    } else if (fc == MODBUS_FC_WRITE_MULTIPLE_REGISTERS && len >= 7) {
        offset = 2;
    } else {
        return t;
    }
    int addr = word(q + offset);
    int count = word(q + offset + 2);
    int bytes = q[offset + 4];
    int maxCount =
        fc == MODBUS_FC_WRITE_AND_READ_REGISTERS ? MODBUS_MAX_WR_WRITE_REGISTERS : MODBUS_MAX_WRITE_REGISTERS;
    if (count < 1 || count > maxCount || bytes != 2 * count || addr + count > kRegisters) {
        return t;
    }
    auto it = std::find(kWriteBlock.begin(), kWriteBlock.end(), addr);
    if (it == kWriteBlock.end()) {
        return t;
    }
    t.port = static_cast<int>(it - kWriteBlock.begin());
    const uint8_t *values = q + offset + 5;
    const uint8_t *text = values + 2;
    int n = std::min({static_cast<int>(word(values)), 2 * (count - 1), kTextMax});

    Port &port = ports_[t.port];
    drain(port, now());
    t.accepted = std::min(n, opt_.queue - port.used);
    port.used += t.accepted;
    port.queuedTotal += t.accepted;
    t.free = opt_.queue - port.used;
    t.reported = armed && opt_.accept >= 0 ? opt_.accept : t.accepted;
    t.text = text;
    map_->tab_registers[kStatusRegister[t.port]] = static_cast<uint16_t>((t.free << 8) | t.reported);
    return t;
}

// libmodbus builds the reply; it writes it into a pipe instead of the line,
// so that it can be damaged or paced before it goes out.
std::vector<uint8_t> Simulator::captureReply(const uint8_t *q, int len)
{
    int line = modbus_get_socket(ctx_.get());
    modbus_set_socket(ctx_.get(), pipeWrite_.get());
    modbus_reply(ctx_.get(), q, len, map_.get());
    modbus_set_socket(ctx_.get(), line);

    std::vector<uint8_t> reply(MODBUS_RTU_MAX_ADU_LENGTH);
    ssize_t n = ::read(pipeRead_.get(), reply.data(), reply.size());
    reply.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return reply;
}

void Simulator::damage(std::vector<uint8_t> &reply, const uint8_t *q)
{
    if (reply.size() < 4) {
        return;  // nothing was answered (a broadcast)
    }
    switch (opt_.fault) {
    case Fault::BadCrc:
        reply.back() ^= 0xFF;
        break;
    case Fault::Flip:
        reply[reply.size() - 3] ^= 0x01;
        break;
    case Fault::Exception:
        reply = {static_cast<uint8_t>(kSlave), static_cast<uint8_t>(q[1] | 0x80),
                 static_cast<uint8_t>(opt_.code), 0, 0};
        reseal(reply);
        break;
    case Fault::OtherSlave:
        reply[0] = kSlave + 1;
        reseal(reply);
        break;
    case Fault::WrongFunction:
        reply[1] = q[1] == MODBUS_FC_READ_HOLDING_REGISTERS ? MODBUS_FC_READ_INPUT_REGISTERS
                                                            : MODBUS_FC_READ_HOLDING_REGISTERS;
        reseal(reply);
        break;
    case Fault::CountSmall:
        reply = {reply[0], reply[1], 0, 0, 0};
        reseal(reply);
        break;
    case Fault::CountLarge:
        // One register more than was asked for, counted and sealed.
        reply.insert(reply.end() - 2, {0, 0});
        reply[2] = static_cast<uint8_t>(reply[2] + 2);
        reseal(reply);
        break;
    case Fault::CountFF:
        reply[2] = 0xFF;
        reseal(reply);
        break;
    case Fault::Truncate:
        reply.resize(3);
        break;
    case Fault::Garbage:
        reply.insert(reply.begin(), {0xFF, 0x00, 0x55});
        break;
    default:
        break;
    }
}

void Simulator::writeAll(const uint8_t *p, size_t n)
{
    int line = modbus_get_socket(ctx_.get());
    while (n > 0) {
        ssize_t w = ::write(line, p, n);
        if (w < 0 && errno == EINTR) {
            continue;
        }
        if (w <= 0) {
            return;
        }
        p += w;
        n -= static_cast<size_t>(w);
    }
}

void Simulator::emit(const std::vector<uint8_t> &reply, bool faulted, double requestEnd)
{
    if (faulted && opt_.fault == Fault::Silent) {
        return;
    }
    if (faulted && opt_.fault == Fault::Delay) {
        sleepUntil(now() + opt_.delayMs / 1000.0);
        writeAll(reply.data(), reply.size());
        std::printf("%s [fault delay] reply sent after %d ms\n", stamp().c_str(), opt_.delayMs);
        return;
    }
    if (faulted && opt_.fault == Fault::Trickle) {
        writeBytewise(reply, now(), opt_.delayMs / 1000.0);
    } else if (opt_.pace) {
        // The request is complete on the wire after its last character and
        // the 3.5-character silence that ends it; each reply character is
        // handed over when it would have fully arrived.
        double start = std::max(now(), requestEnd + 3.5 * kCharSeconds);
        writeBytewise(reply, start + kCharSeconds, kCharSeconds);
    } else {
        writeAll(reply.data(), reply.size());
    }
}

// Byte i goes out at first + i * gap.
void Simulator::writeBytewise(const std::vector<uint8_t> &reply, double first, double gap)
{
    for (size_t i = 0; i < reply.size(); ++i) {
        sleepUntil(first + static_cast<double>(i) * gap);
        writeAll(&reply[i], 1);
    }
}

void Simulator::logFrame(const uint8_t *q, int len)
{
    if (!log_) {
        return;
    }
    for (int i = 0; i < len; ++i) {
        std::fprintf(log_.get(), i == 0 ? "%02X" : " %02X", q[i]);
    }
    std::fputc('\n', log_.get());
    std::fflush(log_.get());
}

void Simulator::report(long request, const uint8_t *q, int len, const Transfer &t, bool faulted)
{
    std::string what;
    char part[96];
    int fc = q[1];
    if ((fc == MODBUS_FC_READ_HOLDING_REGISTERS || fc == MODBUS_FC_READ_INPUT_REGISTERS) && len >= 8) {
        std::snprintf(part, sizeof part, " read %u+%u", word(q + 2), word(q + 4));
        what = part;
    } else if (fc == MODBUS_FC_WRITE_SINGLE_REGISTER && len >= 8) {
        std::snprintf(part, sizeof part, " write %u=0x%04X", word(q + 2), word(q + 4));
        what = part;
    } else if (fc == MODBUS_FC_WRITE_MULTIPLE_REGISTERS && len >= 9) {
        std::snprintf(part, sizeof part, " write %u+%u", word(q + 2), word(q + 4));
        what = part;
    } else if (fc == MODBUS_FC_WRITE_AND_READ_REGISTERS && len >= 13) {
        std::snprintf(part, sizeof part, " write %u+%u read %u+%u", word(q + 6), word(q + 8), word(q + 2),
                      word(q + 4));
        what = part;
    }
    if (t.port >= 0) {
        std::snprintf(part, sizeof part, ": port %d accepted %d free %d", t.port, t.reported, t.free);
        what += part;
    }
    if (faulted) {
        what += std::string(" [fault ") + faultName(opt_.fault) + "]";
    }
    std::string when = stamp();
    std::printf("%s #%ld slave %d fc %d%s\n", when.c_str(), request, q[0], fc, what.c_str());
    if (t.accepted > 0) {
        std::printf("%s port %d <- \"%s\"\n", when.c_str(), t.port, escaped(t.text, t.accepted).c_str());
    }
}

}  // namespace

int main(int argc, char **argv)
{
    Options opt;
    setvbuf(stdout, nullptr, _IOLBF, 0);
    if (!parseOptions(argc, argv, opt)) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    Simulator sim(std::move(opt));
    return sim.run();
}
