// The transfer block built in memory, for what the wire cannot show: the
// layout independent of the host, and the cap on messages the command line
// never lets through.

#define main queltMain
#include "../src/quelt.cpp"
#undef main

#include "cases.h"

#include <gtest/gtest.h>

#include <string>

namespace quelt_test
{

uint16_t expectedRegister(const std::string &m, size_t k)
{
    auto byte = [&](size_t i) { return i < m.size() ? static_cast<unsigned char>(m[i]) : 0u; };
    return static_cast<uint16_t>((byte(2 * k - 2) << 8) | byte(2 * k - 1));
}

TEST(ByteSwap16, ExchangesTheTwoBytes)
{
    unsigned char p[3] = {0x12, 0xAB, 0x77};
    byteSwap16(p);
    EXPECT_EQ(p[0], 0xAB);
    EXPECT_EQ(p[1], 0x12);
    EXPECT_EQ(p[2], 0x77);
}

struct BlockCase {
    const char *name;
    std::string message;
    int n;
};

class Block : public testing::TestWithParam<BlockCase>
{
};

const BlockCase kBlocks[] = {
    // The carriage return alone.
    {"CarriageReturn", "\r", 1},
    // Bytes above 0x7F land in their own half of the register.
    {"HighBytes", "\xff\x80\x01\r", 4},
    // The largest message the command line allows.
    {"Longest", std::string(100, 'q') + "\r", 101},
    // Longer than the block: cut to 128 bytes, and nothing past them read.
    {"CutTo128", std::string(200, '\xA5'), 128},
};

TEST_P(Block, HoldsTheCountAndTheBytesHighFirst)
{
    const BlockCase &c = GetParam();
    uint16_t block[65];
    memset(block, 0xEE, sizeof block);
    EXPECT_EQ(queltBlock(c.message.c_str(), block), c.n);
    EXPECT_EQ(block[0], c.n);
    std::string sent = c.message.substr(0, static_cast<size_t>(c.n));
    for (size_t k = 1; k <= 64; ++k) {
        EXPECT_EQ(block[k], expectedRegister(sent, k)) << "register " << k;
    }
}

INSTANTIATE_TEST_SUITE_P(Messages, Block, testing::ValuesIn(kBlocks), CaseName());

}  // namespace quelt_test
