// The C interface against the camera simulator: broadcast discovery, file reads into a buffer
// and through callbacks, writes and the scanner on loopback; HTTP and mDNS inside a network
// namespace, where the fixed ports 80 and 5353 are the test's own.
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "qxnet/c/qxnet.h"
#include "sim/QXSimDiscoveryResponder.h"
#include "sim/QXSimMdnsResponder.h"
#include "sim/QXSimTftpServer.h"
#include "sim/QXSimWebServer.h"
#include "sim/QXSimulator.h"
#include "tests/support/QXSimNamespace.h"

namespace {

constexpr uint32_t kLoopbackBroadcast = 0x7FFFFFFF;
constexpr uint64_t kFileSize = 874103;

// Collects what a callback is given; refuses data past refuseAfter bytes.
struct Collected {
    std::vector<uint8_t> bytes;
    std::vector<qxnet_camera> cameras;
    uint32_t progressCalls = 0;
    uint64_t refuseAfter = UINT64_MAX;
    int32_t stopAfterCamera = 0;

    static int32_t Data(const uint8_t* data, uint32_t size, void* context) {
        auto* c = static_cast<Collected*>(context);
        c->bytes.insert(c->bytes.end(), data, data + size);
        return c->bytes.size() > c->refuseAfter ? 1 : 0;
    }
    static void Progress(uint32_t, uint64_t, void* context) {
        ++static_cast<Collected*>(context)->progressCalls;
    }
    static int32_t Camera(const qxnet_camera* camera, void* context) {
        auto* c = static_cast<Collected*>(context);
        c->cameras.push_back(*camera);
        return c->stopAfterCamera;
    }
};

class CInterfaceTest : public ::testing::Test {
protected:
    void SetUp() override {
        simulator = std::make_unique<QXSim::Simulator>(QXSim::DemoCameras());
        discovery = &simulator->Add(
            std::make_unique<QXSim::DiscoveryResponder>(*simulator, QXSim::DiscoveryOptions{}));
        QXSim::TftpServerConfig config;
        config.generated["big.bin"] = kFileSize;
        config.files["small.txt"] = {'s', 'm', 'a', 'l', 'l'};
        tftp = &simulator->Add(std::make_unique<QXSim::TftpServer>(config));
        std::string error;
        ASSERT_TRUE(simulator->Start(error)) << error;
        ASSERT_EQ(qxnet_lock_create(&lock), QXNET_OK);
        ASSERT_EQ(qxnet_tftp_create(lock, 0, 1, 3, &client), QXNET_OK);
    }
    void TearDown() override {
        qxnet_tftp_destroy(client);
        qxnet_lock_destroy(lock);
        simulator->Stop();
    }
    std::set<uint64_t> SimMacs() const {
        std::set<uint64_t> macs;
        for (const QXSim::SimCamera& camera : simulator->Cameras()) {
            macs.insert(camera.mac);
        }
        return macs;
    }
    std::string LastError() const {
        char text[1024];
        return qxnet_tftp_last_error(client, text, sizeof text, nullptr) == QXNET_OK ? text : "?";
    }
    // A scanner of loopback by broadcast to the simulator's discovery port.
    qxnet_scanner* LoopbackScanner() const {
        qxnet_scanner* scanner = nullptr;
        EXPECT_EQ(qxnet_scanner_create(lock, &scanner), QXNET_OK);
        const char* names[] = {"lo"};
        EXPECT_EQ(qxnet_scanner_set_interfaces(scanner, names, 1), QXNET_OK);
        EXPECT_EQ(qxnet_scanner_set_methods(scanner, QXNET_METHOD_BROADCAST), QXNET_OK);
        const uint8_t request[] = {'q', 'x'};
        EXPECT_EQ(qxnet_scanner_set_request(scanner, request, sizeof request, discovery->Port()),
                  QXNET_OK);
        return scanner;
    }

    std::unique_ptr<QXSim::Simulator> simulator;
    QXSim::DiscoveryResponder* discovery = nullptr;
    QXSim::TftpServer* tftp = nullptr;
    qxnet_lock* lock = nullptr;
    qxnet_tftp* client = nullptr;
};

TEST_F(CInterfaceTest, DiscoveryHandsEveryCameraOnceAsPlainStructs) {
    ASSERT_EQ(qxnet_tftp_open(client, kLoopbackBroadcast, discovery->Port()), QXNET_OK);
    Collected found;
    ASSERT_EQ(qxnet_tftp_discover(client, nullptr, 0, Collected::Camera, &found), QXNET_OK)
        << LastError();
    std::set<uint64_t> macs;
    for (const qxnet_camera& camera : found.cameras) {
        macs.insert(camera.mac);
        EXPECT_EQ(camera.size, sizeof camera);
        EXPECT_EQ(std::string(camera.mac_text), QXSim::MacToText(camera.mac));
        const auto& cameras = simulator->Cameras();
        auto sim = std::find_if(cameras.begin(), cameras.end(),
                                [&](const QXSim::SimCamera& c) { return c.mac == camera.mac; });
        ASSERT_NE(sim, cameras.end());
        EXPECT_EQ(camera.address, sim->address);
        EXPECT_EQ(camera.model, sim->model);
    }
    EXPECT_EQ(found.cameras.size(), simulator->Cameras().size());
    EXPECT_EQ(macs, SimMacs());

    // A callback that asks to stop gets no further camera.
    Collected first;
    first.stopAfterCamera = 1;
    const uint8_t request[] = {'q', 'x'};
    ASSERT_EQ(qxnet_tftp_discover(client, request, 2, Collected::Camera, &first), QXNET_OK);
    EXPECT_EQ(first.cameras.size(), 1u);

    // Nobody on this port: not found, with a text.
    qxnet_tftp_close(client);
    ASSERT_EQ(qxnet_tftp_open(client, kLoopbackBroadcast, tftp->Port()), QXNET_OK);
    EXPECT_EQ(qxnet_tftp_discover(client, nullptr, 0, Collected::Camera, &first),
              QXNET_E_OBJECT_NOT_FOUND);
    EXPECT_FALSE(LastError().empty());
}

TEST_F(CInterfaceTest, ReadsIntoBuffersAndThroughCallbacksAndWrites) {
    ASSERT_EQ(qxnet_tftp_open(client, 0x7F000001, static_cast<uint16_t>(tftp->Port())), QXNET_OK);
    std::vector<uint8_t> expected(kFileSize);
    for (uint64_t i = 0; i < kFileSize; ++i) {
        expected[i] = QXSim::TftpServer::GeneratedByte(i);
    }

    // Into a buffer that fits, with progress.
    Collected progress;
    std::vector<uint8_t> buffer(kFileSize + 10);
    uint64_t length = 0;
    ASSERT_EQ(qxnet_tftp_read(client, "big.bin", buffer.data(), buffer.size(), &length,
                              Collected::Progress, &progress),
              QXNET_OK)
        << LastError();
    ASSERT_EQ(length, kFileSize);
    buffer.resize(length);
    EXPECT_EQ(buffer, expected);
    EXPECT_GT(progress.progressCalls, 1u);

    // A buffer one byte short: the size needed comes back, nothing else is promised.
    uint64_t needed = 0;
    std::vector<uint8_t> shortBuffer(kFileSize - 1);
    EXPECT_EQ(qxnet_tftp_read(client, "big.bin", shortBuffer.data(), shortBuffer.size(), &needed,
                              nullptr, nullptr),
              QXNET_E_BUFFER_TOO_SMALL);
    EXPECT_EQ(needed, kFileSize);
    EXPECT_FALSE(LastError().empty());
    // Size 0 with no buffer asks for the size alone.
    EXPECT_EQ(qxnet_tftp_read(client, "small.txt", nullptr, 0, &needed, nullptr, nullptr),
              QXNET_E_BUFFER_TOO_SMALL);
    EXPECT_EQ(needed, 5u);

    // Through the write callback, whole and in order.
    Collected streamed;
    uint64_t delivered = 0;
    ASSERT_EQ(qxnet_tftp_read_to(client, "big.bin", Collected::Data, Collected::Progress, &streamed,
                                 &delivered),
              QXNET_OK)
        << LastError();
    EXPECT_EQ(delivered, kFileSize);
    EXPECT_EQ(streamed.bytes, expected);
    EXPECT_GT(streamed.progressCalls, 1u);

    // A callback that refuses ends the read with an error.
    Collected refusing;
    refusing.refuseAfter = 10000;
    EXPECT_EQ(qxnet_tftp_read_to(client, "big.bin", Collected::Data, nullptr, &refusing, nullptr),
              QXNET_E_UNEXPECTED);
    EXPECT_LT(refusing.bytes.size(), kFileSize);
    EXPECT_NE(LastError().find("refused"), std::string::npos);

    // A missing file fails with the client's text.
    EXPECT_NE(qxnet_tftp_read(client, "missing.bin", buffer.data(), buffer.size(), &length, nullptr,
                              nullptr),
              QXNET_OK);
    EXPECT_FALSE(LastError().empty());

    // A failed transfer closes the client; opened again, it sends a write request.
    qxnet_tftp_close(client);
    ASSERT_EQ(qxnet_tftp_open(client, 0x7F000001, static_cast<uint16_t>(tftp->Port())), QXNET_OK);
    ASSERT_EQ(qxnet_tftp_write(client, "upload.cfg"), QXNET_OK) << LastError();
    const QXSim::TftpStats stats = tftp->Stats();
    ASSERT_FALSE(stats.requests.empty());
    EXPECT_EQ(stats.requests.back().opcode, 2);
    EXPECT_EQ(stats.requests.back().file, "upload.cfg");
}

// One scan, then watching: each camera appears once through the callback (on the scanner's
// thread while watching), and nothing arrives after stop.
TEST_F(CInterfaceTest, ScannerScansAndWatchesUntilStopped) {
    struct Seen {
        std::mutex mutex;
        std::condition_variable changed;
        std::vector<qxnet_scanned_camera> appeared;
        bool stopped = false;
        int afterStop = 0;
    } seen;
    auto callback = [](uint32_t change, const qxnet_scanned_camera* camera, void* context) {
        auto* s = static_cast<Seen*>(context);
        std::lock_guard<std::mutex> guard(s->mutex);
        if (s->stopped) {
            ++s->afterStop;
        } else if (change == QXNET_CAMERA_APPEARED) {
            s->appeared.push_back(*camera);
        }
        s->changed.notify_all();
        return int32_t{0};
    };
    const auto appearedMacs = [&] {
        std::lock_guard<std::mutex> guard(seen.mutex);
        std::multiset<uint64_t> macs;
        for (const qxnet_scanned_camera& camera : seen.appeared) {
            macs.insert(camera.mac);
        }
        seen.appeared.clear();
        return macs;
    };
    const std::set<uint64_t> macs = SimMacs();
    const std::multiset<uint64_t> all(macs.begin(), macs.end());
    qxnet_scanner* scanner = LoopbackScanner();
    ASSERT_EQ(qxnet_scanner_scan(scanner, callback, &seen), QXNET_OK);
    for (const qxnet_scanned_camera& camera : seen.appeared) {
        EXPECT_EQ(camera.methods, QXNET_METHOD_BROADCAST);
        EXPECT_EQ(camera.has_broadcast, 1u);
        EXPECT_EQ(camera.broadcast.mac, camera.mac);
        EXPECT_EQ(std::string(camera.interfaces), "lo");
        EXPECT_EQ(camera.interface_count, 1u);
    }
    EXPECT_EQ(appearedMacs(), all);

    ASSERT_EQ(qxnet_scanner_set_watch_timing(scanner, 200, 2), QXNET_OK);
    ASSERT_EQ(qxnet_scanner_start(scanner, callback, &seen), QXNET_OK);
    EXPECT_EQ(qxnet_scanner_start(scanner, callback, &seen), QXNET_E_UNAVAILABLE);
    EXPECT_EQ(qxnet_scanner_scan(scanner, callback, &seen), QXNET_E_UNAVAILABLE);
    {
        std::unique_lock<std::mutex> guard(seen.mutex);
        // A generous bound only against a hang; the count is what is checked.
        seen.changed.wait_for(guard, std::chrono::seconds(30),
                              [&] { return seen.appeared.size() >= all.size(); });
    }
    ASSERT_EQ(qxnet_scanner_stop(scanner), QXNET_OK);
    EXPECT_EQ(appearedMacs(), all);
    {
        std::lock_guard<std::mutex> guard(seen.mutex);
        seen.stopped = true;
    }
    EXPECT_EQ(qxnet_scanner_destroy(scanner), QXNET_OK);
    EXPECT_EQ(seen.afterStop, 0);
}

// HTTP and mDNS on their fixed ports, inside a namespace of the test's own.
class CInterfaceNetnsTest : public QXTest::SimNamespaceTest {
protected:
    void Prepare() override {
        std::vector<QXSim::SimCamera> cameras = QXSim::GenerateCameras(2, 0x7F000101);
        cameras[0].user.clear();
        cameras[0].files["hello.txt"] = {'h', 'e', 'l', 'l', 'o'};
        cameras[1].user = "admin";
        cameras[1].password = "s3cret";
        StartSimulator(cameras, [](QXSim::Simulator& simulator) {
            simulator.Add(std::make_unique<QXSim::WebServer>(simulator, QXSim::WebOptions{}));
            simulator.Add(std::make_unique<QXSim::MdnsResponder>(simulator, QXSim::MdnsOptions{}));
        });
    }
};

TEST_F(CInterfaceNetnsTest, HttpGetDeliversBodiesStatusAndErrors) {
    struct Case {
        const char* address;
        const char* path;
        const char* user;
        const char* password;
        uint32_t server;   // 0: no answer, a transport error
        const char* body;  // nullptr: not checked; "": any but empty
    };
    const Case cases[] = {
        {"127.0.1.1", "/hello.txt", nullptr, nullptr, 200, "hello"},
        {"127.0.1.2", "/", nullptr, nullptr, 401, nullptr},
        {"127.0.1.2", "/", "admin", "s3cret", 200, ""},
        {"127.0.1.1", "/missing", nullptr, nullptr, 404, nullptr},
        {"127.0.9.9", "/", nullptr, nullptr, 0, nullptr},  // no camera listens there
    };
    ns->Run([&] {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(c.address) + c.path);
            qxnet_http* http = nullptr;
            ASSERT_EQ(qxnet_http_create(nullptr, c.address, 0x1234, &http), QXNET_OK);
            std::string body;
            const qxnet_result result = qxnet_http_get(
                http, c.path, c.user, c.password,
                [](const uint8_t* data, uint32_t size, void* context) {
                    static_cast<std::string*>(context)->append(reinterpret_cast<const char*>(data),
                                                               size);
                    return int32_t{0};
                },
                &body);
            uint32_t server = 0;
            qxnet_http_status(http, nullptr, &server);
            char text[600] = {};
            qxnet_http_last_error(http, text, sizeof text, nullptr);
            EXPECT_EQ(server, c.server);
            if (c.server == 200 || c.server == 401) {
                EXPECT_EQ(result, QXNET_OK) << text;
            }
            if (c.body != nullptr && *c.body != '\0') {
                EXPECT_EQ(body, c.body);
            } else if (c.body != nullptr) {
                EXPECT_FALSE(body.empty());
            }
            if (c.server == 0) {
                // The transport's error number, with a text.
                EXPECT_NE(result, QXNET_OK);
                EXPECT_LT(result, 0xF0000000u);
                EXPECT_NE(text[0], '\0');
            }
            qxnet_http_destroy(http);
        }
    });
}

TEST_F(CInterfaceNetnsTest, MdnsQueriesFindTheCameras) {
    ns->Run([&] {
        qxnet_mdns* client = nullptr;
        ASSERT_EQ(qxnet_mdns_create(nullptr, 0x7F000001, &client), QXNET_OK);
        std::vector<qxnet_mdns_camera> found;
        ASSERT_EQ(qxnet_mdns_query_cameras(
                      client,
                      [](const qxnet_mdns_camera* camera, void* context) {
                          static_cast<std::vector<qxnet_mdns_camera>*>(context)->push_back(*camera);
                          return int32_t{0};
                      },
                      &found),
                  QXNET_OK);
        ASSERT_EQ(found.size(), simulator->Cameras().size());
        for (const qxnet_mdns_camera& camera : found) {
            EXPECT_EQ(camera.size, sizeof camera);
            EXPECT_EQ(camera.valid, 1u);
            EXPECT_STREQ(camera.model, "QX2000");
        }
        // The MAC as the camera's own record gives it, asked for by itself.
        const qxnet_mdns_camera wanted = found.back();
        uint64_t mac = 0;
        uint32_t address = 0;
        ASSERT_EQ(qxnet_mdns_query_mac(client, wanted.mac, &mac, &address), QXNET_OK);
        EXPECT_EQ(mac, wanted.mac);
        EXPECT_EQ(address, wanted.address);
        EXPECT_TRUE(address == simulator->Cameras()[0].address ||
                    address == simulator->Cameras()[1].address);
        EXPECT_EQ(qxnet_mdns_query_mac(client, 0x0E1F2A123456ull, &mac, &address),
                  QXNET_E_OBJECT_NOT_FOUND);
        EXPECT_EQ(qxnet_mdns_destroy(client), QXNET_OK);
    });
}

}  // namespace
