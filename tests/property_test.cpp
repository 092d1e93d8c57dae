// A seeded stream of random and mutated replies to real requests over a
// pseudo-terminal: the transfer succeeds exactly when the first seven bytes
// on the line are a valid function-23 reply from slave 1 whose accepted
// count equals the message length.

#define main queltMain
#include "../src/quelt.cpp"
#undef main

#include "harness.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <random>
#include <string>
#include <vector>

namespace quelt_test
{

void reseal(Bytes &f)
{
    if (f.size() >= 2) {
        f = withCrc(Bytes(f.begin(), f.end() - 2));
    }
}

// The oracle, from the frame layout alone.
bool genuineFullAcceptance(const Bytes &line, int n)
{
    if (line.size() < 7 || line[0] != 1 || line[1] != 23 || line[2] != 2 || line[4] != n) {
        return false;
    }
    return withCrc(Bytes(line.begin(), line.begin() + 5)) == Bytes(line.begin(), line.begin() + 7);
}

class ReplyMaker
{
  public:
    explicit ReplyMaker(uint32_t seed) : rng_(seed) {}

    int below(int n) { return static_cast<int>(rng_() % static_cast<uint32_t>(n)); }
    uint8_t byte() { return static_cast<uint8_t>(rng_()); }

    Bytes valid(int n)
    {
        int accepted = below(2) ? n : below(256);
        Bytes f{1, 23, 2, byte(), static_cast<uint8_t>(accepted), 0, 0};
        reseal(f);
        return f;
    }

    Bytes make(int n)
    {
        Bytes f = valid(n);
        switch (below(10)) {
        case 0:
        case 1:
        case 2:
            return f;  // genuine, with the accepted count right or wrong
        case 3: {      // random bytes
            f.resize(static_cast<size_t>(below(12)));
            for (auto &b : f) {
                b = byte();
            }
            break;
        }
        case 4:  // exception reply, any code
            f = {1, static_cast<uint8_t>(below(2) ? 0x97 : byte()), byte(), 0, 0};
            break;
        default:  // a valid reply, damaged in a few places
            for (int k = below(3) + 1; k > 0; --k) {
                damage(f);
            }
        }
        if (below(2)) {
            reseal(f);  // past the CRC check, on to the frame checks
        }
        return f;
    }

  private:
    void damage(Bytes &f)
    {
        size_t at = f.empty() ? 0 : static_cast<size_t>(below(static_cast<int>(f.size())));
        switch (below(5)) {
        case 0:
            if (!f.empty()) {
                f[at] ^= static_cast<uint8_t>(1u << below(8));
            }
            break;
        case 1:
            if (!f.empty()) {
                f[at] = byte();
            }
            break;
        case 2:
            f.insert(f.begin() + static_cast<long>(at), byte());
            break;
        case 3:
            if (!f.empty()) {
                f.erase(f.begin() + static_cast<long>(at));
            }
            break;
        default:
            f.resize(at);
        }
    }

    std::mt19937 rng_;
};

// Output of the transfer goes to /dev/null while the stream runs.
class Silence
{
  public:
    Silence()
    {
        fflush(stdout);
        fflush(stderr);
        out_ = dup(1);
        err_ = dup(2);
        int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        dup2(null, 2);
        close(null);
    }
    ~Silence()
    {
        fflush(stdout);
        fflush(stderr);
        dup2(out_, 1);
        dup2(err_, 2);
        close(out_);
        close(err_);
    }

  private:
    int out_;
    int err_;
};

TEST(Property, SuccessExactlyForAGenuineFullReply)
{
    Pty pty;
    int master = pty.master();
    fcntl(master, F_SETFL, O_NONBLOCK);

    modbus_t *ctx = modbus_new_rtu(pty.path().c_str(), 19200, 'N', 8, 2);
    ASSERT_NE(ctx, nullptr);
    modbus_set_error_recovery(ctx, MODBUS_ERROR_RECOVERY_LINK);
    modbus_set_slave(ctx, 1);
    ASSERT_EQ(modbus_connect(ctx), 0);
    regWR = 902;
    regRD = 898;

    const uint32_t seed = 20261211;
    const int cases = 10000;
    ReplyMaker maker(seed);
    int successes = 0;
    int mismatches = 0;
    {
        Silence quiet;
        for (int i = 0; i < cases; ++i) {
            int textLength = maker.below(101);
            char message[128];
            for (int k = 0; k < textLength; ++k) {
                message[k] = static_cast<char>(maker.below(255) + 1);
            }
            message[textLength] = '\r';
            message[textLength + 1] = '\0';
            int n = textLength + 1;

            // The reply waits on the line before the request goes out, and
            // enough bytes follow it that the library never waits for more.
            Bytes line = maker.make(n);
            while (line.size() < 270) {
                line.push_back(maker.byte());
            }
            modbus_flush(ctx);
            ASSERT_EQ(write(master, line.data(), line.size()), static_cast<ssize_t>(line.size()));

            int rc = queltData(ctx, message);
            bool expected = genuineFullAcceptance(line, n);
            successes += rc == 0;
            if ((rc == 0) != expected) {
                ++mismatches;
                ADD_FAILURE() << "case " << i << ": queltData returned " << rc;
            }
            uint8_t drain[512];
            while (read(master, drain, sizeof drain) > 0) {
            }
        }
    }
    modbus_close(ctx);
    modbus_free(ctx);

    std::printf("seed %u: %d replies, %d taken as full acceptance, %d mismatches\n", seed, cases, successes,
                mismatches);
    EXPECT_EQ(mismatches, 0);
    // The stream must reach both verdicts for the property to say anything.
    EXPECT_GT(successes, cases / 20);
    EXPECT_LT(successes, cases / 2);
}

}  // namespace quelt_test
