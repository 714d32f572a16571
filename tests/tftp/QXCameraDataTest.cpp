#include <gtest/gtest.h>

#include <map>
#include <set>
#include <tuple>
#include <vector>

#include "qxnet/tftp/QXCameraData.h"
#include "tests/support/QXTraceCapture.h"
#include "tests/tftp/QXTFTPTestClient.h"

using QXSDK::CameraData;
using QXTest::CameraAnswer;

namespace {

CameraData Parse(const std::vector<std::uint8_t>& answer) {
    return CameraData(answer.data(), static_cast<std::uint32_t>(answer.size()));
}

// An answer with a block at 69: head (0xBE, version, N), then bytes 0x10, 0x11, ...; patched.
std::vector<std::uint8_t> WithBlock(std::uint8_t version, std::uint16_t n, std::size_t bodySize,
                                    const std::map<int, std::uint8_t>& patch = {}) {
    std::vector<std::uint8_t> answer = CameraAnswer(0x021122334455, 1, 0, 0x0304, 0, 69);
    answer.insert(answer.end(),
                  {0xBE, version, static_cast<std::uint8_t>(n >> 8), static_cast<std::uint8_t>(n)});
    for (std::size_t i = 0; i < bodySize; ++i) {
        answer.push_back(static_cast<std::uint8_t>(0x10 + i));
    }
    for (const auto& [offset, value] : patch) {
        answer[69 + static_cast<std::size_t>(offset)] = value;
    }
    return answer;
}

}  // namespace

TEST(CameraData, FixedPartMacAndTrace) {
    QXTest::TraceCapture trace;
    const CameraData camera = Parse(CameraAnswer(0x021122334455, 0x0A000107, 0x0102, 0x0304, 0x99));
    EXPECT_EQ(std::tuple(camera.ip, camera.fwVer, camera.model, camera.byte36),
              std::tuple(0x0A000107u, 0x0102, 0x0304u, 0x99));
    EXPECT_EQ(camera.extModel | camera.enclosure | camera.features | camera.infoTag, 0u);
    EXPECT_EQ(trace.Count(L"CameraData constructor: IP = 10.0.1.7"), 1);
    EXPECT_EQ(trace.Count(L"Camera 772 (0) enclosure 0x00:\n==========================="), 1);
    EXPECT_EQ(trace.Count(L" is NOT SUPPORTED"), 16);
    EXPECT_EQ(std::vector<std::uint8_t>(camera.mac, camera.mac + 6),
              (std::vector<std::uint8_t>{0x55, 0x44, 0x33, 0x22, 0x11, 0x02}));
    EXPECT_EQ(camera.MacNumber(), 0x021122334455u);
    EXPECT_EQ(camera.MacText(), L"02:11:22:33:44:55");
    // Ordered by MAC, the first octet weighing most; the same MAC is the same camera.
    const CameraData next = Parse(CameraAnswer(0x021122334456, 1, 0, 0, 0));
    const CameraData high = Parse(CameraAnswer(0x030000000000, 1, 0, 0, 0));
    const CameraData again = Parse(CameraAnswer(0x021122334455, 2, 9, 9, 9));
    EXPECT_TRUE(camera < next && next < high && !(next < camera));
    EXPECT_FALSE(camera < again || again < camera);
    EXPECT_EQ((std::set<CameraData>{camera, next, again, high}).size(), 3u);
    std::vector<std::uint8_t> answer = CameraAnswer(0x021122334455, 0x0A000001, 1, 2, 3);
    answer.resize(30);  // bytes the answer does not hold read as zero
    EXPECT_EQ(Parse(answer).MacNumber(), 0x021122334455u);
    EXPECT_EQ(Parse(answer).ip, 0x0A000000u);
    EXPECT_EQ(CameraData(nullptr, 0).MacNumber(), 0u);
}

TEST(CameraData, ExtendedBlocksTheirBytesFeaturesAndTrace) {
    std::vector<std::uint8_t> swapped = WithBlock(0xCE, 21, 21);
    std::swap(swapped[69], swapped[70]);  // CE BE is not BE CE
    const struct {
        const char* what;
        std::vector<std::uint8_t> answer;
        std::uint16_t infoTag, infoLength;
        std::uint32_t model, extModel;
        std::uint16_t features;
        std::uint8_t enclosure;
    } cases[] = {
        {"CE", WithBlock(0xCE, 21, 21, {{22, 0x81}, {23, 3}}), 0xCEBE, 21, 0x10111213, 0x14151617,
         0x81, 3},
        {"CE empty: only the head counts", WithBlock(0xCE, 0, 21), 0xCEBE, 0, 0, 0, 0, 0},
        {"CF", WithBlock(0xCF, 21, 21, {{22, 0xFF}, {23, 5}, {24, 1}}), 0xCFBE, 21, 0x10111213,
         0x14151617, 0x00FF, 5},
        {"CF: fifteen features at most", WithBlock(0xCF, 21, 21, {{22, 0xFF}, {24, 0xFF}}), 0xCFBE,
         21, 0x10111213, 0x14151617, 0x7FFF, 0x23},
        {"D0", WithBlock(0xD0, 36, 36, {{36, 7}, {37, 0x7F}, {38, 0xFF}, {39, 1}}), 0xD0BE, 36,
         0x10111213, 0x14151617, 0xFFFF, 7},
        {"D0: the top bit of byte 37 is no feature",
         WithBlock(0xD0, 36, 36, {{36, 7}, {37, 0x85}, {38, 2}, {39, 0}}), 0xD0BE, 36, 0x10111213,
         0x14151617, 0x0105, 7},
        {"shorter than its layout", WithBlock(0xCE, 10, 36, {{22, 0xFF}, {23, 2}}), 0xCEBE, 10,
         0x10111213, 0x14151617, 0, 0},
        {"claims more than the datagram holds", WithBlock(0xD0, 36, 5), 0xD0BE, 36, 0x10111213,
         0x14000000, 0, 0},
        {"longer than its layout", WithBlock(0xCE, 200, 200, {{22, 4}, {23, 1}}), 0xCEBE, 200,
         0x10111213, 0x14151617, 4, 1},
        {"unknown tag", WithBlock(0xD1, 36, 36), 0, 0, 0x0304, 0, 0, 0},
        {"swapped tag", swapped, 0, 0, 0x0304, 0, 0, 0},
        {"head with nothing behind it", WithBlock(0xCE, 0, 0), 0, 0, 0x0304, 0, 0, 0},
        {"one byte behind the head", WithBlock(0xCE, 0, 1), 0xCEBE, 0, 0, 0, 0, 0},
    };
    for (const auto& test : cases) {
        const CameraData camera = Parse(test.answer);
        EXPECT_EQ(std::tuple(camera.infoTag, camera.infoLength, camera.model, camera.extModel,
                             camera.features, camera.enclosure),
                  std::tuple(test.infoTag, test.infoLength, test.model, test.extModel,
                             test.features, test.enclosure))
            << test.what;
    }
    QXTest::TraceCapture trace;
    const CameraData ce = Parse(WithBlock(0xCE, 21, 21, {{22, 0x81}, {23, 3}}));
    const CameraData d0 = Parse(WithBlock(0xD0, 36, 36));
    for (int i = 0; i < 8; ++i) {
        EXPECT_EQ(ce.info12[i], 0x18 + i);
        EXPECT_EQ(ce.info20[i], i < 2 ? 0x20 + i : 0);  // two bytes in the short layouts
        EXPECT_EQ(d0.info20[i], 0x20 + i);
        EXPECT_EQ(d0.info28[i], 0x28 + i);
    }
    EXPECT_TRUE(ce.Supports(0) && ce.Supports(7));
    EXPECT_FALSE(ce.Supports(1) || ce.Supports(-1) || ce.Supports(16));
    EXPECT_TRUE(trace.Contains(L"Camera 269554195 (336926231) enclosure 0x03:"));
    EXPECT_TRUE(trace.Contains(L"Enclosure: BOXFORM"));
    EXPECT_TRUE(trace.Contains(L"Day Night is SUPPORTED"));
    EXPECT_STREQ(CameraData::EnclosureName(8), L"Unknown");
    EXPECT_STREQ(CameraData::EnclosureName(7), L"COMPACT");
}
