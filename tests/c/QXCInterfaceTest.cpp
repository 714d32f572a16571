// Each C entry point once against the simulator: its arguments, records, results and errors (the
// C++ suites pin the subsystems). mDNS runs in a namespace, where port 5353 is the test's own.
#include <memory>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "qxnet/c/qxnet.h"
#include "sim/QXSimDiscoveryResponder.h"
#include "sim/QXSimMdnsResponder.h"
#include "sim/QXSimTftpServer.h"
#include "sim/QXSimulator.h"
#include "tests/support/QXAsyncOutcome.h"
#include "tests/support/QXSimNamespace.h"

namespace {

constexpr uint64_t kFileSize = 874103;
using Keys = std::multiset<std::tuple<uint64_t, uint32_t, uint32_t>>;  // MAC, address, model

Keys KeysOf(const std::vector<qxnet_camera>& cameras) {
    Keys keys;
    for (const qxnet_camera& camera : cameras) {
        keys.emplace(camera.mac, camera.address, camera.model);
    }
    return keys;
}

// A callback that collects what it is given; with Stop, it asks for nothing more.
template <typename T, int32_t Stop = 0>
int32_t Collect(const T* item, void* context) {
    static_cast<std::vector<T>*>(context)->push_back(*item);
    return Stop;
}

// Collects the bytes; with Refuse, refuses them once it holds more than 10000.
template <bool Refuse>
int32_t TakeBytes(const uint8_t* data, uint32_t size, void* context) {
    auto* bytes = static_cast<std::vector<uint8_t>*>(context);
    bytes->insert(bytes->end(), data, data + size);
    return Refuse && bytes->size() > 10000 ? 1 : 0;
}

class CInterfaceTest : public ::testing::Test {
protected:
    void SetUp() override {
        simulator = std::make_unique<QXSim::Simulator>(QXSim::DemoCameras());
        discovery = &simulator->Add(
            std::make_unique<QXSim::DiscoveryResponder>(*simulator, QXSim::DiscoveryOptions{}));
        QXSim::TftpServerConfig config;
        config.generated["big.bin"] = kFileSize;
        tftp = &simulator->Add(std::make_unique<QXSim::TftpServer>(config));
        std::string error;
        ASSERT_TRUE(simulator->Start(error)) << error;
        ASSERT_EQ(qxnet_lock_create(&lock), QXNET_OK);
        ASSERT_EQ(qxnet_tftp_create(lock, 0, 1, 3, &client), QXNET_OK);
        for (const QXSim::SimCamera& camera : simulator->Cameras()) {
            simKeys.emplace(camera.mac, camera.address, camera.model);
        }
    }
    void TearDown() override {
        qxnet_tftp_destroy(client);
        qxnet_lock_destroy(lock);
        simulator->Stop();
    }
    std::string LastError() const {
        char text[1024];
        return qxnet_tftp_last_error(client, text, sizeof text, nullptr) == QXNET_OK ? text : "?";
    }

    std::unique_ptr<QXSim::Simulator> simulator;
    QXSim::DiscoveryResponder* discovery = nullptr;
    QXSim::TftpServer* tftp = nullptr;
    qxnet_lock* lock = nullptr;
    qxnet_tftp* client = nullptr;
    Keys simKeys;  // of the simulated cameras
};

// Into a buffer that fits, with progress, or one byte short (the size needed comes back); through
// the write callback until it refuses; the client's own failure; a write request.
TEST_F(CInterfaceTest, ReadsIntoBuffersAndThroughCallbacksAndWrites) {
    ASSERT_EQ(qxnet_tftp_open(client, 0x7F000001, static_cast<uint16_t>(tftp->Port())), QXNET_OK);
    std::vector<uint8_t> expected(kFileSize);
    for (uint64_t i = 0; i < kFileSize; ++i) {
        expected[i] = QXSim::TftpServer::GeneratedByte(i);
    }
    int progress = 0;
    const qxnet_progress_callback count = [](uint32_t, uint64_t, void* n) {
        ++*static_cast<int*>(n);
    };
    std::vector<uint8_t> buffer(kFileSize);
    uint64_t length = 0;
    ASSERT_EQ(
        qxnet_tftp_read(client, "big.bin", buffer.data(), kFileSize, &length, count, &progress),
        QXNET_OK)
        << LastError();
    EXPECT_EQ(length, kFileSize);
    EXPECT_EQ(buffer, expected);
    EXPECT_GT(progress, 1);
    EXPECT_EQ(
        qxnet_tftp_read(client, "big.bin", buffer.data(), kFileSize - 1, &length, nullptr, nullptr),
        QXNET_E_BUFFER_TOO_SMALL);
    EXPECT_EQ(length, kFileSize);
    EXPECT_EQ(LastError(), "the file is larger than the buffer");
    std::vector<uint8_t> bytes;
    ASSERT_EQ(qxnet_tftp_read_to(client, "big.bin", TakeBytes<false>, nullptr, &bytes, &length),
              QXNET_OK);
    EXPECT_EQ(length, kFileSize);
    EXPECT_EQ(bytes, expected);
    bytes.clear();
    EXPECT_EQ(qxnet_tftp_read_to(client, "big.bin", TakeBytes<true>, nullptr, &bytes, nullptr),
              QXNET_E_UNEXPECTED);
    EXPECT_LT(bytes.size(), kFileSize);
    EXPECT_EQ(LastError(), "the write callback refused the data");
    EXPECT_EQ(qxnet_tftp_read(client, "missing.bin", nullptr, 0, &length, nullptr, nullptr),
              QXNET_E_TIMED_OUT);
    EXPECT_EQ(LastError().rfind("TFTPClient", 0), 0u) << LastError();
    ASSERT_EQ(qxnet_tftp_open(client, 0x7F000001, static_cast<uint16_t>(tftp->Port())), QXNET_OK);
    ASSERT_EQ(qxnet_tftp_write(client, "upload.cfg"), QXNET_OK) << LastError();
    ASSERT_FALSE(tftp->Stats().requests.empty());
    EXPECT_EQ(tftp->Stats().requests.back().opcode, 2);
    EXPECT_EQ(tftp->Stats().requests.back().file, "upload.cfg");
}

// Discovery and a scan hand each camera once as a plain struct, and stop when the callback asks.
// A watch calls back on the scanner's thread; nothing else may start then, nothing arrives after
// its stop.
TEST_F(CInterfaceTest, DiscoveryAndScannerHandEveryCameraOnce) {
    ASSERT_EQ(qxnet_tftp_open(client, 0x7FFFFFFF, discovery->Port()), QXNET_OK);
    std::vector<qxnet_camera> found;
    ASSERT_EQ(qxnet_tftp_discover(client, nullptr, 0, Collect<qxnet_camera>, &found), QXNET_OK);
    EXPECT_EQ(KeysOf(found), simKeys);
    EXPECT_EQ(found[0].size, sizeof found[0]);
    EXPECT_EQ(std::string(found[0].mac_text), QXSim::MacToText(found[0].mac));
    // A callback that asks to stop gets no further camera.
    found.clear();
    const uint8_t request[] = {'q', 'x'};
    ASSERT_EQ(qxnet_tftp_discover(client, request, 2, Collect<qxnet_camera, 1>, &found), QXNET_OK);
    EXPECT_EQ(found.size(), 1u);
    // Nobody on this port: not found, with a text.
    ASSERT_EQ(qxnet_tftp_open(client, 0x7FFFFFFF, tftp->Port()), QXNET_OK);
    EXPECT_EQ(qxnet_tftp_discover(client, nullptr, 0, Collect<qxnet_camera>, &found),
              QXNET_E_OBJECT_NOT_FOUND);
    EXPECT_EQ(LastError(), "no camera answered");
    using Seen = QXTest::AsyncOutcome<qxnet_scanned_camera>;
    Seen seen;
    const qxnet_scan_callback callback = [](uint32_t change, const qxnet_scanned_camera* camera,
                                            void* context) {
        EXPECT_EQ(change, QXNET_CAMERA_APPEARED);
        EXPECT_EQ(camera->mac, camera->broadcast.mac);
        static_cast<Seen*>(context)->Add(*camera);
        return int32_t{0};
    };
    qxnet_scanner* scanner = nullptr;
    ASSERT_EQ(qxnet_scanner_create(lock, &scanner), QXNET_OK);
    const char* names[] = {"lo"};
    ASSERT_EQ(qxnet_scanner_set_interfaces(scanner, names, 1), QXNET_OK);
    ASSERT_EQ(qxnet_scanner_set_methods(scanner, QXNET_METHOD_BROADCAST), QXNET_OK);
    ASSERT_EQ(qxnet_scanner_set_request(scanner, request, 2, discovery->Port()), QXNET_OK);
    ASSERT_EQ(qxnet_scanner_scan(scanner, callback, &seen), QXNET_OK);
    std::vector<qxnet_camera> cameras;
    for (const qxnet_scanned_camera& result : seen.Results()) {
        cameras.push_back(result.broadcast);
    }
    EXPECT_EQ(KeysOf(cameras), simKeys);
    const qxnet_scanned_camera first = seen.Results()[0];
    EXPECT_EQ(first.methods, QXNET_METHOD_BROADCAST);
    EXPECT_EQ(std::string(first.interfaces), "lo");
    EXPECT_EQ(first.interface_count, 1u);

    ASSERT_EQ(qxnet_scanner_set_watch_timing(scanner, 200, 2), QXNET_OK);
    ASSERT_EQ(qxnet_scanner_start(scanner, callback, &seen), QXNET_OK);
    EXPECT_EQ(qxnet_scanner_start(scanner, callback, &seen), QXNET_E_UNAVAILABLE);
    EXPECT_EQ(qxnet_scanner_scan(scanner, callback, &seen), QXNET_E_UNAVAILABLE);
    EXPECT_TRUE(seen.Wait(2 * cameras.size()));
    ASSERT_EQ(qxnet_scanner_stop(scanner), QXNET_OK);
    const std::size_t stopped = seen.Results().size();
    EXPECT_EQ(qxnet_scanner_destroy(scanner), QXNET_OK);
    EXPECT_EQ(seen.Results().size(), stopped);
}

class CInterfaceNetnsTest : public QXTest::SimNamespaceTest {};

TEST_F(CInterfaceNetnsTest, MdnsQueriesFindTheCameras) {
    StartSimulator(QXSim::GenerateCameras(2, 0x7F000101), [](QXSim::Simulator& simulator) {
        simulator.Add(std::make_unique<QXSim::MdnsResponder>(simulator, QXSim::MdnsOptions{}));
    });
    ns->Run([&] {
        qxnet_mdns* client = nullptr;
        ASSERT_EQ(qxnet_mdns_create(nullptr, 0x7F000001, &client), QXNET_OK);
        std::vector<qxnet_mdns_camera> found;
        ASSERT_EQ(qxnet_mdns_query_cameras(client, Collect<qxnet_mdns_camera>, &found), QXNET_OK);
        ASSERT_EQ(found.size(), 2u);
        EXPECT_EQ(found[1].size, sizeof found[1]);
        EXPECT_EQ(found[1].valid, 1u);
        EXPECT_STREQ(found[1].model, "QX2000");
        // The MAC as the camera's own record gives it, asked for by itself.
        uint64_t mac = 0;
        uint32_t address = 0;
        ASSERT_EQ(qxnet_mdns_query_mac(client, found[1].mac, &mac, &address), QXNET_OK);
        EXPECT_EQ(mac, found[1].mac);
        EXPECT_EQ(address, found[1].address);
        EXPECT_EQ(qxnet_mdns_query_mac(client, 0x0E1F2A123456ull, &mac, &address),
                  QXNET_E_OBJECT_NOT_FOUND);
        EXPECT_EQ(qxnet_mdns_destroy(client), QXNET_OK);
    });
}

}  // namespace
