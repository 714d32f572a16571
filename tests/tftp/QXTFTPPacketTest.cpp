#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "qxnet/common/QXException.h"
#include "qxnet/common/QXResult.h"
#include "qxnet/tftp/QXTFTPPacket.h"

using QXSDK::TFTPPacket;

namespace {

std::vector<unsigned char> Bytes(const TFTPPacket& packet) {
    return std::vector<unsigned char>(packet.data, packet.data + packet.length);
}

std::vector<unsigned char> Text(const std::string& text) {
    return std::vector<unsigned char>(text.begin(), text.end());
}

// Runs action, expects it to throw QX::Exception and returns the exception's message.
template <typename Action>
std::wstring ThrownMessage(Action action) {
    try {
        action();
    } catch (const QX::Exception& exception) {
        EXPECT_EQ(exception.hResult, QX::ResultCode::Unexpected);
        EXPECT_STREQ(exception.file, L"QXTFTPPacket");
        EXPECT_GT(exception.line, 0);
        return exception.message;
    }
    ADD_FAILURE() << "no exception";
    return L"";
}

TFTPPacket Oack(const char* value) {
    TFTPPacket packet(0);
    const unsigned char head[] = {0, 6};
    packet.AddMem(head, 2);
    packet.AddMem("blksize", 8);
    packet.AddMem(value, static_cast<int>(std::strlen(value)) + 1);
    return packet;
}

}  // namespace

TEST(TFTPPacket, StartsEmpty) {
    const TFTPPacket packet(1);
    EXPECT_EQ(packet.length, 0);
    EXPECT_EQ(packet.sizeIndex, 1);
    for (unsigned char byte : packet.data) {
        ASSERT_EQ(byte, 0);
    }
    EXPECT_EQ(sizeof(packet.data), 2908u);
    EXPECT_EQ(sizeof(packet.from), 16u);
    EXPECT_EQ(TFTPPacket(0).Capacity(), 1454);
    EXPECT_EQ(TFTPPacket(1).Capacity(), 2908);
}

TEST(TFTPPacket, ReadRequestClassZero) {
    TFTPPacket packet(0);
    EXPECT_TRUE(packet.MakeRQ(1, "a"));
    std::vector<unsigned char> expected = {0, 1, 'a', 0};
    for (unsigned char c : Text("netascii"))
        expected.push_back(c);
    expected.push_back(0);
    for (unsigned char c : Text("blksize"))
        expected.push_back(c);
    expected.push_back(0);
    for (unsigned char c : Text("1450"))
        expected.push_back(c);
    expected.push_back(0);
    EXPECT_EQ(packet.length, 26);
    EXPECT_EQ(Bytes(packet), expected);
}

TEST(TFTPPacket, ReadRequestClassOneOffersDoubleSize) {
    TFTPPacket packet(1);
    packet.MakeRQ(1, "a");
    ASSERT_EQ(packet.length, 26);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(packet.data + 21), 4), "2904");
    EXPECT_EQ(packet.data[25], 0);
}

TEST(TFTPPacket, WriteRequestCarriesNoOption) {
    TFTPPacket packet(1);
    packet.MakeRQ(2, "a");
    std::vector<unsigned char> expected = {0, 2, 'a', 0};
    for (unsigned char c : Text("netascii"))
        expected.push_back(c);
    expected.push_back(0);
    EXPECT_EQ(Bytes(packet), expected);
    // Nothing behind the request.
    EXPECT_EQ(packet.data[13], 0);
}

TEST(TFTPPacket, OnlyLowSixteenBitsOfOpcodeAreWritten) {
    TFTPPacket packet(0);
    packet.MakeRQ(0x12340102, "f");
    EXPECT_EQ(packet.data[0], 0x01);
    EXPECT_EQ(packet.data[1], 0x02);
    EXPECT_EQ(packet.length, 13);  // not a read request: no option
}

TEST(TFTPPacket, LongestNameFitsOneBelowCapacity) {
    TFTPPacket packet(0);
    const std::string name(1428, 'n');
    EXPECT_TRUE(packet.MakeRQ(1, name.c_str()));
    EXPECT_EQ(packet.length, 1453);

    TFTPPacket big(1);
    const std::string bigName(2882, 'n');
    EXPECT_TRUE(big.MakeRQ(1, bigName.c_str()));
    EXPECT_EQ(big.length, 2907);
}

TEST(TFTPPacket, MakeRequestRefusesBadNamesAndLeavesPacketAlone) {
    TFTPPacket packet(0);
    packet.AddByte(0x7E);
    const std::string tooLong(1429, 'n');
    EXPECT_EQ(ThrownMessage([&] { packet.MakeRQ(1, tooLong.c_str()); }),
              L"TFTPPAcket::MakeRQ(): Invalid argument");
    EXPECT_EQ(ThrownMessage([&] { packet.MakeRQ(1, ""); }),
              L"TFTPPAcket::MakeRQ(): Invalid argument");
    EXPECT_EQ(ThrownMessage([&] { packet.MakeRQ(2, nullptr); }),
              L"TFTPPAcket::MakeRQ(): Invalid argument");
    EXPECT_EQ(packet.length, 1);
    EXPECT_EQ(packet.data[0], 0x7E);

    TFTPPacket big(1);
    const std::string bigTooLong(2883, 'n');
    EXPECT_EQ(ThrownMessage([&] { big.MakeRQ(1, bigTooLong.c_str()); }),
              L"TFTPPAcket::MakeRQ(): Invalid argument");
}

TEST(TFTPPacket, OverflowInvalidatesAndMakeRequestRevives) {
    TFTPPacket packet(0);
    std::vector<unsigned char> run(1454, 0x55);
    EXPECT_EQ(ThrownMessage([&] { packet.AddMem(run.data(), 1454); }),
              L"TFTPPacket::AddMem(): Too much data");
    EXPECT_EQ(packet.length, -1);
    EXPECT_EQ(ThrownMessage([&] { packet.AddByte(1); }),
              L"TFTPPacket::AddByte(): Packet is not valid");
    EXPECT_EQ(ThrownMessage([&] { packet.AddMem(run.data(), 1); }),
              L"TFTPPacket::AddMem(): Packet is not valid");
    EXPECT_EQ(packet.length, -1);
    EXPECT_TRUE(packet.MakeRQ(1, "a"));
    EXPECT_EQ(packet.length, 26);
}

TEST(TFTPPacket, AppendBounds) {
    TFTPPacket packet(0);
    std::vector<unsigned char> run(1453, 0x55);
    packet.AddMem(run.data(), 1453);
    EXPECT_EQ(packet.length, 1453);
    EXPECT_EQ(packet.data[1452], 0x55);
    EXPECT_EQ(ThrownMessage([&] { packet.AddByte(1); }), L"TFTPPacket::AddByte(): Too much data");
    EXPECT_EQ(packet.length, -1);

    TFTPPacket big(1);
    std::vector<unsigned char> bigRun(2907, 0x66);
    big.AddMem(bigRun.data(), 2907);
    EXPECT_EQ(big.length, 2907);
    EXPECT_EQ(ThrownMessage([&] { big.AddMem(bigRun.data(), 1); }),
              L"TFTPPacket::AddMem(): Too much data");

    TFTPPacket bytes(0);
    for (int i = 0; i < 1453; ++i) {
        bytes.AddByte(static_cast<unsigned char>(i));
    }
    EXPECT_EQ(bytes.length, 1453);
    EXPECT_EQ(bytes.data[300], static_cast<unsigned char>(300));
}

TEST(TFTPPacket, AddMemRefusesNegativeCountWithoutChange) {
    TFTPPacket packet(0);
    packet.AddByte(9);
    EXPECT_EQ(ThrownMessage([&] { packet.AddMem("x", -1); }),
              L"TFTPPacket::AddMem(): Invalid argument");
    EXPECT_EQ(packet.length, 1);
    packet.AddMem(nullptr, 0);
    EXPECT_EQ(packet.length, 1);
}

TEST(TFTPPacket, IsDoubleSizeOnOptionAcknowledgement) {
    EXPECT_TRUE(Oack("2904").IsDoubleSize());
    EXPECT_EQ(Oack("2904").length, 15);
    EXPECT_FALSE(Oack("1450").IsDoubleSize());

    // The class does not matter for an option acknowledgement.
    TFTPPacket granted = Oack("1450");
    granted.sizeIndex = 1;
    EXPECT_FALSE(granted.IsDoubleSize());
}

TEST(TFTPPacket, IsDoubleSizeReadsValueWhateverTheOptionName) {
    TFTPPacket packet(0);
    const unsigned char bytes[] = {0,   6, 'x', 'x', 'x', 'x', 'x', 'x',
                                   'x', 0, '2', '9', '0', '4', 0};
    packet.AddMem(bytes, sizeof(bytes));
    EXPECT_TRUE(packet.IsDoubleSize());
}

TEST(TFTPPacket, ShortOrOtherPacketsAnswerFromClass) {
    TFTPPacket shortOack(0);
    const unsigned char bytes[] = {0, 6, 'b', 'l', 'k', 's', 'i', 'z', 'e', 0, '2', '9', '0', '4'};
    shortOack.AddMem(bytes, sizeof(bytes));  // 14 bytes: not an option acknowledgement
    EXPECT_FALSE(shortOack.IsDoubleSize());
    shortOack.sizeIndex = 1;
    EXPECT_TRUE(shortOack.IsDoubleSize());

    TFTPPacket data(1);
    const unsigned char block[] = {0, 3, 0, 1, '2', '9', '0', '4', 0, 0, '1', '4', '5', '0', 0};
    data.AddMem(block, sizeof(block));
    EXPECT_TRUE(data.IsDoubleSize());
    data.sizeIndex = 0;
    EXPECT_FALSE(data.IsDoubleSize());
}

TEST(TFTPPacket, CopiesAreIndependentValues) {
    TFTPPacket packet(0);
    packet.MakeRQ(1, "file");
    TFTPPacket copy = packet;
    copy.data[2] = 'F';
    EXPECT_EQ(packet.data[2], 'f');
    EXPECT_EQ(copy.length, packet.length);
}
