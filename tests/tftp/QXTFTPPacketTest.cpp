#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "qxnet/common/QXException.h"
#include "qxnet/common/QXResult.h"
#include "qxnet/tftp/QXTFTPPacket.h"
#include "tests/tftp/QXTFTPTestClient.h"

using QXSDK::TFTPPacket;

namespace {

// The message of what action throws, which must come from the packet as a caller's error.
template <typename Action>
std::wstring ThrownMessage(Action action) {
    const QX::Exception exception = QXTest::Thrown(action);
    EXPECT_EQ(exception.hResult, QX::ResultCode::Unexpected);
    EXPECT_STREQ(exception.file, L"QXTFTPPacket");
    return exception.message;
}

}  // namespace

// A request's name, and appends, stop one byte below the class's capacity.
TEST(TFTPPacket, BoundsOfEachClass) {
    for (int sizeClass : {0, 1}) {
        const std::size_t longest = sizeClass == 0 ? 1428 : 2882;
        TFTPPacket packet(sizeClass);
        EXPECT_TRUE(packet.MakeRQ(1, std::string(longest, 'n').c_str()));
        EXPECT_EQ(packet.length, packet.Capacity() - 1);
        const std::string tooLong(longest + 1, 'n');
        for (const char* name : {tooLong.c_str(), "", static_cast<const char*>(nullptr)}) {
            EXPECT_EQ(ThrownMessage([&] { packet.MakeRQ(1, name); }),
                      L"TFTPPAcket::MakeRQ(): Invalid argument");
            EXPECT_EQ(packet.length, packet.Capacity() - 1);  // as it was
        }
        packet.length = 0;
        const std::vector<unsigned char> run(static_cast<std::size_t>(packet.Capacity()), 0x55);
        packet.AddMem(run.data(), packet.Capacity() - 2);
        packet.AddByte(7);
        EXPECT_EQ(packet.length, packet.Capacity() - 1);
        EXPECT_EQ(packet.data[packet.length - 1], 7);
        EXPECT_EQ(ThrownMessage([&] { packet.AddByte(1); }),
                  L"TFTPPacket::AddByte(): Too much data");
        EXPECT_EQ(packet.length, -1);
        TFTPPacket fresh(sizeClass);
        EXPECT_EQ(ThrownMessage([&] { fresh.AddMem(run.data(), fresh.Capacity()); }),
                  L"TFTPPacket::AddMem(): Too much data");
        EXPECT_EQ(fresh.length, -1);
    }
    // An invalid packet refuses appends until a request revives it.
    TFTPPacket packet(0);
    packet.length = -1;
    EXPECT_EQ(ThrownMessage([&] { packet.AddByte(1); }),
              L"TFTPPacket::AddByte(): Packet is not valid");
    EXPECT_EQ(ThrownMessage([&] { packet.AddMem("x", 1); }),
              L"TFTPPacket::AddMem(): Packet is not valid");
    EXPECT_TRUE(packet.MakeRQ(1, "a"));
    EXPECT_EQ(packet.length, 26);
    EXPECT_EQ(ThrownMessage([&] { packet.AddMem("x", -1); }),  // the packet untouched
              L"TFTPPacket::AddMem(): Invalid argument");
    EXPECT_EQ(ThrownMessage([&] { packet.AddMem(nullptr, 1); }),
              L"TFTPPacket::AddMem(): Invalid argument");
    packet.AddMem(nullptr, 0);
    EXPECT_EQ(packet.length, 26);
}

TEST(TFTPPacket, GrantOfAnOptionAcknowledgement) {
    using namespace std::string_literals;
    const auto oack = [](const std::string& name, const std::string& value) {
        return "\0\6"s + name + '\0' + value;
    };
    const std::string data = "\0\3\0\1"s + "2904" + "\0\0"s + "1450" + '\0';
    const struct {
        std::string bytes;
        int sizeClass;
        bool doubleSize;
        int granted;
    } cases[] = {
        {oack("blksize", "2904\0"s), 0, true, 1},
        {oack("blksize", "1450\0"s), 1, false, 0},  // the grant, not the class, counts
        {oack("xxxxxxx", "2904\0"s), 0, true, 1},   // whatever the option's name
        {oack("blksize", "1024\0"s), 1, false, -1},
        {oack("blksize", "14500\0"s), 0, false, -1},
        {oack("blksize", "1450x\0"s), 0, false, -1},
        {oack("blksize", "2904"), 0, false, -1},  // 14 bytes: no acknowledgement
        {oack("blksize", "2904"), 1, true, -1},
        {data, 1, true, -1},  // DATA: the class answers
        {data, 0, false, -1},
    };
    for (const auto& test : cases) {
        TFTPPacket packet(test.sizeClass);
        packet.AddMem(test.bytes.data(), static_cast<int>(test.bytes.size()));
        EXPECT_EQ(packet.IsDoubleSize(), test.doubleSize) << test.bytes.size() << test.sizeClass;
        EXPECT_EQ(packet.GrantedSizeClass(), test.granted) << test.bytes.size() << test.sizeClass;
    }
}
