#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "qxnet/mdns/QXDNSName.h"

using QXSDK::DNSName;
using Bytes = std::vector<std::uint8_t>;

namespace {

Bytes Wire(const std::string& s) {
    return Bytes(s.begin(), s.end());
}

}  // namespace

TEST(DNSName, RootIsOneZeroByte) {
    const Bytes msg = {0};
    DNSName name;
    EXPECT_EQ(name.ParseInit(msg, msg, 0), 1u);
    EXPECT_TRUE(name.Labels().empty());
    EXPECT_EQ(name.ToString(), "");
    Bytes out = {9, 9};
    name.Encode(out);
    EXPECT_EQ(out, Bytes{0});
}

TEST(DNSName, OffsetOutsideBufferGivesZero) {
    const Bytes msg = {1, 'a', 0};
    DNSName name;
    EXPECT_EQ(name.ParseInit(msg, msg, 3), 0u);
    EXPECT_EQ(name.ParseInit(msg, msg, 1000), 0u);
    EXPECT_TRUE(name.Labels().empty());
}

TEST(DNSName, LabelsParseAndJoin) {
    const Bytes msg = Wire(std::string("\x05_korv\x04_tcp\x05local\x00", 18));
    DNSName name;
    EXPECT_EQ(name.ParseInit(msg, msg, 0), 18u);
    EXPECT_EQ(name.ToString(), "_korv._tcp.local");
    ASSERT_EQ(name.Labels().size(), 3u);
    EXPECT_EQ(name.Labels()[1], "_tcp");
}

TEST(DNSName, EncodeServiceNameIs18Bytes) {
    DNSName name;
    name.AddLabel("_korv");
    name.AddLabel("_tcp");
    name.AddLabel("local");
    Bytes out;
    name.Encode(out);
    EXPECT_EQ(out, Wire(std::string("\x05_korv\x04_tcp\x05local\x00", 18)));
    DNSName back;
    EXPECT_EQ(back.ParseInit(out, out, 0), 18u);
    EXPECT_EQ(back, name);
}

TEST(DNSName, EncodeCutsOverlongLabelAt255) {
    DNSName name;
    name.AddLabel(std::string(300, 'x'));
    Bytes out;
    name.Encode(out);
    ASSERT_EQ(out.size(), 257u);
    EXPECT_EQ(out[0], 255);
    EXPECT_EQ(out.back(), 0);
}

TEST(DNSName, LabelThenPointerOccupiesFourBytes) {
    // 0: "local" 0 (7 bytes); 7: "a" then pointer to 0.
    Bytes msg = Wire(std::string("\x05local\x00", 7));
    const Bytes tail = {1, 'a', 0xC0, 0x00};
    msg.insert(msg.end(), tail.begin(), tail.end());
    DNSName name;
    EXPECT_EQ(name.ParseInit(msg, msg, 7), 4u);
    EXPECT_EQ(name.ToString(), "a.local");
}

TEST(DNSName, PointerFromRdataCopyResolvesInMessage) {
    const Bytes msg = Wire(std::string("\x05local\x00", 7));
    const Bytes rdata = {3, 'c', 'a', 'm', 0xC0, 0x00};
    DNSName name;
    EXPECT_EQ(name.ParseInit(msg, rdata, 0), 6u);
    EXPECT_EQ(name.ToString(), "cam.local");
}

TEST(DNSName, PointerIntoItselfEnds) {
    const Bytes msg = {1, 'a', 0xC0, 0x00};  // the pointer leads back to "a" and itself
    DNSName name;
    EXPECT_EQ(name.ParseInit(msg, msg, 0), 4u);
    ASSERT_FALSE(name.Labels().empty());
    EXPECT_LT(name.Labels().size(), 40u);
    for (const std::string& label : name.Labels()) {
        EXPECT_EQ(label, "a");
    }
    const Bytes self = {0xC0, 0x00};  // a pointer to itself
    DNSName other;
    EXPECT_EQ(other.ParseInit(self, self, 0), 2u);
    EXPECT_TRUE(other.Labels().empty());
}

TEST(DNSName, PointerWithSecondByteMissingIsCut) {
    const Bytes msg = {1, 'a', 0xC0};
    DNSName name;
    EXPECT_EQ(name.ParseInit(msg, msg, 0), 3u);
    EXPECT_EQ(name.ToString(), "a");
}

TEST(DNSName, PointerOutsideMessageAddsNothing) {
    const Bytes msg = {1, 'a', 0xFF, 0xFF};
    DNSName name;
    EXPECT_EQ(name.ParseInit(msg, msg, 0), 4u);
    EXPECT_EQ(name.ToString(), "a");
}

TEST(DNSName, LabelRunningPastEndIsNotAdded) {
    const Bytes msg = {1, 'a', 5, 'b', 'c'};
    DNSName name;
    EXPECT_EQ(name.ParseInit(msg, msg, 0), 3u);
    EXPECT_EQ(name.ToString(), "a");
}

TEST(DNSName, LabelEndingAtBufferEndWithoutTerminatorIsCut) {
    const Bytes msg = {1, 'a', 1, 'b'};
    DNSName name;
    EXPECT_EQ(name.ParseInit(msg, msg, 0), 3u);
    EXPECT_EQ(name.ToString(), "a");
}

TEST(DNSName, LengthBytes64To191AreLabelLengths) {
    for (int length : {64, 100, 127, 128, 191}) {
        Bytes msg(static_cast<std::size_t>(length) + 2, 'x');
        msg[0] = static_cast<std::uint8_t>(length);
        msg.back() = 0;
        DNSName name;
        EXPECT_EQ(name.ParseInit(msg, msg, 0), static_cast<std::uint32_t>(length + 2)) << length;
        ASSERT_EQ(name.Labels().size(), 1u);
        EXPECT_EQ(name.Labels()[0].size(), static_cast<std::size_t>(length));
        // One byte short: cut off, nothing read beyond the buffer.
        msg.pop_back();
        msg.pop_back();
        DNSName cut;
        EXPECT_EQ(cut.ParseInit(msg, msg, 0), 1u);
        EXPECT_TRUE(cut.Labels().empty());
    }
}

TEST(DNSName, LabelsMayHoldAnyByte) {
    const Bytes msg = {3, 0, '.', 0xFF, 0};
    DNSName name;
    EXPECT_EQ(name.ParseInit(msg, msg, 0), 5u);
    EXPECT_EQ(name.ToString(), std::string("\0.\xFF", 3));
}

TEST(DNSName, ParseAppendsToExistingLabels) {
    const Bytes msg = {1, 'b', 0};
    DNSName name;
    name.AddLabel("a");
    name.ParseInit(msg, msg, 0);
    EXPECT_EQ(name.ToString(), "a.b");
}

// However a name is spread over pointers, it gathers at most 255 bytes of wire form; the bytes it
// occupies where it starts are still counted whole, so the record after it is found.
TEST(DNSName, WireLengthIsBoundAcrossPointers) {
    // 0: a run of 2000 one-byte labels, then the end.
    Bytes run;
    for (int i = 0; i < 2000; ++i) {
        run.insert(run.end(), {1, 'x'});
    }
    run.push_back(0);
    const std::size_t runBytes = run.size();
    struct Case {
        const char* what;
        Bytes tail;              // appended after the run; the name starts there
        std::uint32_t occupies;  // bytes at the start
    };
    const Case cases[] = {
        {"pointer to the run", {0xC0, 0x00}, 2},
        {"label then pointer", {3, 'c', 'a', 'm', 0xC0, 0x00}, 6},
        {"pointer into the run's middle", {0xC0, 0x10}, 2},
        {"chain of pointers",
         {1, 'a', static_cast<std::uint8_t>(0xC0 | ((runBytes + 4) >> 8)),
          static_cast<std::uint8_t>((runBytes + 4) & 0xFF), 1, 'b', 0xC0, 0x00},
         4},
    };
    for (const Case& c : cases) {
        Bytes msg = run;
        msg.insert(msg.end(), c.tail.begin(), c.tail.end());
        DNSName name;
        EXPECT_EQ(name.ParseInit(msg, msg, static_cast<std::uint32_t>(runBytes)), c.occupies)
            << c.what;
        Bytes encoded;
        name.Encode(encoded);
        EXPECT_LE(encoded.size(), 255u) << c.what;
        EXPECT_GE(encoded.size(), 250u) << c.what;
    }
    // Written out in place, the whole run is measured but only its first 255 bytes are kept.
    DNSName direct;
    EXPECT_EQ(direct.ParseInit(run, run, 0), runBytes);
    EXPECT_EQ(direct.Labels().size(), 127u);
}
