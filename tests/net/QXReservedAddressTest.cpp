#include "qxnet/common/QXAddress.h"
#include "qxnet/net/QXReservedAddress.h"

#include <gtest/gtest.h>

namespace {

TEST(ReservedAddress, LastOctetZeroOrAllOnes) {
    EXPECT_TRUE(QX::IsReservedAddress(0xC0A80100));
    EXPECT_TRUE(QX::IsReservedAddress(0xC0A801FF));
    EXPECT_FALSE(QX::IsReservedAddress(0xC0A80101));
    EXPECT_FALSE(QX::IsReservedAddress(0xC0A801FE));
}

TEST(ReservedAddress, EachBlockIsOneSlash24AndItsNeighboursPass) {
    const std::uint32_t blocks[] = {0x00000000, 0x7F000000, 0xC0000200, 0xC0586300, 0xC6120000};
    for (std::uint32_t block : blocks) {
        EXPECT_TRUE(QX::IsReservedAddress(block | 0x01)) << std::hex << block;
        EXPECT_TRUE(QX::IsReservedAddress(block | 0xFE)) << std::hex << block;
        // The /24 just above and just below.
        EXPECT_FALSE(QX::IsReservedAddress((block + 0x100) | 0x01)) << std::hex << block;
        if (block != 0) {
            EXPECT_FALSE(QX::IsReservedAddress((block - 0x100) | 0x01)) << std::hex << block;
        }
    }
    EXPECT_FALSE(QX::IsReservedAddress(0x7F010203));  // 127.1.2.3
    EXPECT_FALSE(QX::IsReservedAddress(0xC6130001));  // 198.19.0.1
}

TEST(ReservedAddress, MulticastAndAboveUpTo247) {
    EXPECT_FALSE(QX::IsReservedAddress(0xDFFFFFFE));  // 223.255.255.254
    EXPECT_TRUE(QX::IsReservedAddress(0xE0000001));   // 224.0.0.1
    EXPECT_TRUE(QX::IsReservedAddress(0xE00000FB));   // 224.0.0.251
    EXPECT_TRUE(QX::IsReservedAddress(0xEFFFFFFA));   // 239.255.255.250
    EXPECT_TRUE(QX::IsReservedAddress(0xF7FFFFFE));   // 247.255.255.254
    EXPECT_FALSE(QX::IsReservedAddress(0xF8000001));  // 248.0.0.1
    EXPECT_FALSE(QX::IsReservedAddress(0xF8010203));  // 248.1.2.3
}

TEST(ReservedAddress, SwapAndTestMask) {
    EXPECT_EQ(0xC0A8010Au, QX::SwapAddress(0x0A01A8C0u));
    EXPECT_EQ(0x0A01A8C0u, QX::SwapAddress(0xC0A8010Au));
    EXPECT_EQ(0xFFFFFF00u, QX::TestMask(0xFFFFFFFFu));
    EXPECT_EQ(0xFFFF0000u, QX::TestMask(0x0000FFFFu));
    EXPECT_EQ(0u, QX::TestMask(0u));
}

}  // namespace
