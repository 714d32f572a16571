#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "qxnet/tftp/QXCameraData.h"
#include "tests/support/QXTraceCapture.h"
#include "tests/tftp/QXCameraAnswer.h"

using QXSDK::CameraData;
using QXTest::AppendBlock;
using QXTest::CameraAnswer;

namespace {

CameraData Parse(const std::vector<std::uint8_t>& answer) {
    return CameraData(answer.data(), static_cast<std::uint32_t>(answer.size()));
}

// Block body from offset 4: a running pattern so that every field shows where it came from.
std::vector<std::uint8_t> Body(std::size_t size) {
    std::vector<std::uint8_t> body(size);
    for (std::size_t i = 0; i < size; ++i) {
        body[i] = static_cast<std::uint8_t>(0x10 + i);
    }
    return body;
}

int Count(const std::vector<std::wstring>& lines, const std::wstring& text) {
    int count = 0;
    for (const std::wstring& line : lines) {
        if (line.find(text) != std::wstring::npos) {
            ++count;
        }
    }
    return count;
}

}  // namespace

TEST(CameraData, FixedPartOnly) {
    QXTest::TraceCapture trace;
    const CameraData camera =
        Parse(CameraAnswer(0x021122334455, 0x0A000107, 0x0102, 0x0304, 0x99, 73));
    EXPECT_EQ(camera.ip, 0x0A000107u);
    EXPECT_EQ(camera.fwVer, 0x0102);
    EXPECT_EQ(camera.model, 0x0304u);
    EXPECT_EQ(camera.byte36, 0x99);
    EXPECT_EQ(camera.extModel, 0u);
    EXPECT_EQ(camera.enclosure, 0);
    EXPECT_EQ(camera.features, 0);
    EXPECT_EQ(camera.infoTag, 0);
    EXPECT_EQ(camera.infoLength, 0);
    EXPECT_EQ(camera.hwVer, 0);
    EXPECT_TRUE(camera.name.empty());
    const std::vector<std::wstring> lines = trace.Lines();
    EXPECT_EQ(Count(lines, L"CameraData constructor: IP = 10.0.1.7"), 1);
    EXPECT_EQ(Count(lines, L"Camera 772 (0) enclosure 0x00:\n==========================="), 1);
    EXPECT_EQ(Count(lines, L"Enclosure: BASIC"), 1);
    EXPECT_EQ(Count(lines, L" is NOT SUPPORTED"), 16);
    EXPECT_EQ(Count(lines, L"Day Night is NOT SUPPORTED"), 1);
    EXPECT_EQ(Count(lines, L"90 Degree Rotation is NOT SUPPORTED"), 1);
    EXPECT_EQ(lines.back(), L"===========================\n");
}

TEST(CameraData, MacByteOrderTextAndOrdering) {
    const CameraData camera = Parse(CameraAnswer(0x021122334455, 1, 0, 0, 0));
    const std::uint8_t expected[6] = {0x55, 0x44, 0x33, 0x22, 0x11, 0x02};
    for (int i = 0; i < 6; ++i) {
        EXPECT_EQ(camera.mac[i], expected[i]);
    }
    EXPECT_EQ(camera.MacNumber(), 0x021122334455u);
    EXPECT_EQ(camera.MacText(), L"02:11:22:33:44:55");
    const CameraData next = Parse(CameraAnswer(0x021122334456, 1, 0, 0, 0));
    EXPECT_TRUE(camera < next);
    EXPECT_FALSE(next < camera);
    // The first octet weighs most.
    const CameraData high = Parse(CameraAnswer(0x030000000000, 1, 0, 0, 0));
    EXPECT_TRUE(next < high);
    // Same MAC, other address: equal for a set.
    const CameraData again = Parse(CameraAnswer(0x021122334455, 2, 9, 9, 9));
    EXPECT_FALSE(camera < again);
    EXPECT_FALSE(again < camera);
    std::set<CameraData> cameras{camera, next, again, high};
    EXPECT_EQ(cameras.size(), 3u);
    EXPECT_EQ(cameras.begin()->ip, 1u);
}

TEST(CameraData, BlockVersionCE) {
    QXTest::TraceCapture trace;
    std::vector<std::uint8_t> answer = CameraAnswer(0x021122334455, 1, 0, 0x0304, 0);
    std::vector<std::uint8_t> body = Body(21);
    body[22 - 4] = 0x81;  // features: Day Night and Focus
    body[23 - 4] = 0x03;  // enclosure BOXFORM
    AppendBlock(&answer, 0xCE, 21, body);
    ASSERT_EQ(answer.size(), 94u);
    const CameraData camera = Parse(answer);
    EXPECT_EQ(camera.infoTag, 0xCEBE);
    EXPECT_EQ(camera.infoLength, 21);
    EXPECT_EQ(camera.model, 0x10111213u);
    EXPECT_EQ(camera.extModel, 0x14151617u);
    EXPECT_EQ(camera.features, 0x81);
    EXPECT_EQ(camera.enclosure, 3);
    for (int i = 0; i < 8; ++i) {
        EXPECT_EQ(camera.info12[i], 0x18 + i);
    }
    EXPECT_EQ(camera.info20[0], 0x20);
    EXPECT_EQ(camera.info20[1], 0x21);
    for (int i = 2; i < 8; ++i) {
        EXPECT_EQ(camera.info20[i], 0);
    }
    for (int i = 0; i < 8; ++i) {
        EXPECT_EQ(camera.info28[i], 0);
    }
    EXPECT_TRUE(camera.Supports(0));
    EXPECT_TRUE(camera.Supports(7));
    EXPECT_FALSE(camera.Supports(1));
    EXPECT_TRUE(trace.Contains(L"Camera 269554195 (336926231) enclosure 0x03:"));
    EXPECT_TRUE(trace.Contains(L"Enclosure: BOXFORM"));
    EXPECT_TRUE(trace.Contains(L"Day Night is SUPPORTED"));
    EXPECT_TRUE(trace.Contains(L"Focus is SUPPORTED"));
    EXPECT_TRUE(trace.Contains(L"Infrared is NOT SUPPORTED"));
}

TEST(CameraData, EmptyBlockReplacesTheModel) {
    std::vector<std::uint8_t> answer = CameraAnswer(0x021122334455, 1, 0, 0x0304, 0);
    AppendBlock(&answer, 0xCE, 0, Body(21));  // N = 0: only the head counts
    ASSERT_EQ(answer.size(), 94u);
    const CameraData camera = Parse(answer);
    EXPECT_EQ(camera.infoTag, 0xCEBE);
    EXPECT_EQ(camera.infoLength, 0);
    EXPECT_EQ(camera.model, 0u);
    EXPECT_EQ(camera.extModel, 0u);
    EXPECT_EQ(camera.features, 0);
    EXPECT_EQ(camera.enclosure, 0);
}

TEST(CameraData, BlockVersionCF) {
    std::vector<std::uint8_t> answer = CameraAnswer(0x021122334455, 1, 0, 0, 0);
    std::vector<std::uint8_t> body = Body(21);
    body[22 - 4] = 0xFF;
    body[23 - 4] = 0x05;
    body[24 - 4] = 0x01;
    AppendBlock(&answer, 0xCF, 21, body);
    const CameraData camera = Parse(answer);
    EXPECT_EQ(camera.infoTag, 0xCFBE);
    EXPECT_EQ(camera.features, 0x00FF);
    EXPECT_EQ(camera.enclosure, 5);

    body[24 - 4] = 0xFF;
    AppendBlock(&answer, 0xCF, 21, body);
    EXPECT_EQ(Parse(answer).features, 0x7FFF);  // fifteen features at most
}

TEST(CameraData, BlockVersionD0) {
    QXTest::TraceCapture trace;
    std::vector<std::uint8_t> answer = CameraAnswer(0x021122334455, 1, 0, 0, 0);
    std::vector<std::uint8_t> body = Body(36);
    body[36 - 4] = 0x07;
    body[37 - 4] = 0x7F;
    body[38 - 4] = 0xFF;
    body[39 - 4] = 0x01;
    AppendBlock(&answer, 0xD0, 36, body);
    const CameraData camera = Parse(answer);
    EXPECT_EQ(camera.infoTag, 0xD0BE);
    EXPECT_EQ(camera.infoLength, 36);
    EXPECT_EQ(camera.features, 0xFFFF);
    EXPECT_EQ(camera.enclosure, 7);
    for (int i = 0; i < 8; ++i) {
        EXPECT_EQ(camera.info20[i], 0x20 + i);
        EXPECT_EQ(camera.info28[i], 0x28 + i);
    }
    EXPECT_TRUE(trace.Contains(L"Enclosure: COMPACT"));
    EXPECT_TRUE(trace.Contains(L"90 Degree Rotation is SUPPORTED"));

    body[37 - 4] = 0x85;  // the top bit of byte A is not a feature
    body[38 - 4] = 0x02;
    body[39 - 4] = 0x00;
    AppendBlock(&answer, 0xD0, 36, body);
    EXPECT_EQ(Parse(answer).features, 0x0105);
}

TEST(CameraData, BlockShorterThanItsLayout) {
    std::vector<std::uint8_t> answer = CameraAnswer(0x021122334455, 1, 0, 0, 0);
    std::vector<std::uint8_t> body = Body(36);
    body[22 - 4] = 0xFF;
    body[23 - 4] = 0x02;
    AppendBlock(&answer, 0xCE, 10, body);  // head + 10 bytes: up to block byte 13
    const CameraData camera = Parse(answer);
    EXPECT_EQ(camera.model, 0x10111213u);
    EXPECT_EQ(camera.extModel, 0x14151617u);
    EXPECT_EQ(camera.info12[0], 0x18);
    EXPECT_EQ(camera.info12[1], 0x19);
    EXPECT_EQ(camera.info12[2], 0);
    EXPECT_EQ(camera.features, 0);
    EXPECT_EQ(camera.enclosure, 0);

    // A block that claims more than the datagram holds reads zero beyond its end.
    std::vector<std::uint8_t> cut = CameraAnswer(0x021122334455, 1, 0, 0, 0);
    AppendBlock(&cut, 0xD0, 36, Body(5));
    const CameraData partial = Parse(cut);
    EXPECT_EQ(partial.model, 0x10111213u);
    EXPECT_EQ(partial.extModel, 0x14000000u);
    EXPECT_EQ(partial.features, 0);
}

TEST(CameraData, BlockLongerThanItsLayout) {
    std::vector<std::uint8_t> answer = CameraAnswer(0x021122334455, 1, 0, 0, 0);
    std::vector<std::uint8_t> body(200, 0xEE);
    body[22 - 4] = 0x04;
    body[23 - 4] = 0x01;
    AppendBlock(&answer, 0xCE, 200, body);
    const CameraData camera = Parse(answer);
    EXPECT_EQ(camera.infoLength, 200);
    EXPECT_EQ(camera.features, 0x04);
    EXPECT_EQ(camera.enclosure, 1);
    EXPECT_EQ(camera.info20[2], 0);  // the excess never reaches the record
    EXPECT_EQ(camera.info28[0], 0);
}

TEST(CameraData, UnknownBlockTagKeepsFixedValues) {
    std::vector<std::uint8_t> answer = CameraAnswer(0x021122334455, 1, 0, 0x0304, 0);
    AppendBlock(&answer, 0xD1, 36, Body(36));
    const CameraData camera = Parse(answer);
    EXPECT_EQ(camera.infoTag, 0);
    EXPECT_EQ(camera.infoLength, 0);
    EXPECT_EQ(camera.model, 0x0304u);
    EXPECT_EQ(camera.extModel, 0u);

    std::vector<std::uint8_t> swapped = CameraAnswer(0x021122334455, 1, 0, 0x0304, 0);
    AppendBlock(&swapped, 0xCE, 21, Body(21));
    std::swap(swapped[69], swapped[70]);  // CE BE is not BE CE
    EXPECT_EQ(Parse(swapped).infoTag, 0);
}

TEST(CameraData, BlockNeedsMoreThanSeventyThreeBytes) {
    std::vector<std::uint8_t> answer = CameraAnswer(0x021122334455, 1, 0, 0x0304, 0);
    AppendBlock(&answer, 0xCE, 0, {});
    ASSERT_EQ(answer.size(), 73u);  // head only, no byte behind it: not read
    EXPECT_EQ(Parse(answer).infoTag, 0);
    EXPECT_EQ(Parse(answer).model, 0x0304u);
    answer.push_back(0);
    EXPECT_EQ(Parse(answer).infoTag, 0xCEBE);
}

TEST(CameraData, UnknownEnclosure) {
    QXTest::TraceCapture trace;
    std::vector<std::uint8_t> answer = CameraAnswer(0x021122334455, 1, 0, 0, 0);
    std::vector<std::uint8_t> body = Body(21);
    body[23 - 4] = 8;
    AppendBlock(&answer, 0xCE, 21, body);
    EXPECT_EQ(Parse(answer).enclosure, 8);
    EXPECT_TRUE(trace.Contains(L"Enclosure: Unknown"));
    EXPECT_STREQ(CameraData::EnclosureName(255), L"Unknown");
    EXPECT_STREQ(CameraData::EnclosureName(5), L"TWIN IMAGER");
}

TEST(CameraData, ShortAnswerReadsZeroBeyondItsEnd) {
    const std::vector<std::uint8_t> full = CameraAnswer(0x021122334455, 0x0A000001, 1, 2, 3);
    const std::vector<std::uint8_t> tagOnly(full.begin(), full.begin() + 30);
    const CameraData camera = Parse(tagOnly);
    EXPECT_EQ(camera.MacNumber(), 0x021122334455u);
    EXPECT_EQ(camera.ip, 0x0A000000u);
    EXPECT_EQ(camera.fwVer, 0);
    const CameraData none(nullptr, 0);
    EXPECT_EQ(none.MacNumber(), 0u);
}

TEST(CameraData, Tables) {
    EXPECT_STREQ(CameraData::FeatureNames[0], L"Day Night");
    EXPECT_STREQ(CameraData::FeatureNames[15], L"90 Degree Rotation");
    for (int i = 0; i < CameraData::FeatureCount; ++i) {
        EXPECT_EQ(CameraData::FeatureBits[i], 1u << i);
    }
    EXPECT_STREQ(CameraData::EnclosureNames[0], L"BASIC");
    EXPECT_STREQ(CameraData::EnclosureNames[7], L"COMPACT");
}
