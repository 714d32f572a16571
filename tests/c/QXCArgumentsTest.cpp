// The C interface's argument checks, and library failures as result codes with the handle's
// text, through the scripted sockets and the fake HTTP transport.
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "qxnet/c/qxnet.h"
#include "qxnet/common/QXResult.h"
#include "tests/support/QXFakeEcho.h"
#include "tests/support/QXFakeHttpTransport.h"
#include "tests/support/QXScriptedSockets.h"

namespace {

using Lines = std::vector<std::wstring>;

// Each entry point given a null handle, a null or empty required argument or one out of range;
// text and tables out tell the size they need and store nothing that does not fit.
TEST(CInterfaceArguments, EveryEntryPointChecksItsArguments) {
    qxnet_tftp* tftp = nullptr;
    qxnet_http* http = nullptr;
    qxnet_scanner* scanner = nullptr;
    ASSERT_EQ(qxnet_tftp_create(nullptr, 0, 0, 1, &tftp), QXNET_OK);
    ASSERT_EQ(qxnet_http_create(nullptr, "127.0.0.1", 1, &http), QXNET_OK);
    ASSERT_EQ(qxnet_scanner_create(nullptr, &scanner), QXNET_OK);
    qxnet_tftp* unmade = tftp;
    qxnet_http* unmadeHttp = nullptr;
    uint32_t n = 0;
    uint32_t needed = 0;
    uint64_t length = 0;
    char text[64];
    char tooSmall[64] = {'x'};
    uint8_t byte = 0;
    const char* names[] = {"lo", nullptr};
    uint32_t addresses = 99;
    uint32_t stored = 0;
    qxnet_address_row rows[64];
    rows[0].size = sizeof rows[0];
    qxnet_address_row shortRow;
    shortRow.size = sizeof shortRow - 1;
    const qxnet_result invalid = QXNET_E_INVALID_ARGUMENT;
    const qxnet_result range = QXNET_E_PARAMETER_OUT_OF_RANGE;
    const qxnet_result small = QXNET_E_BUFFER_TOO_SMALL;
    const auto onCamera = +[](const qxnet_camera*, void*) { return int32_t{0}; };
    const auto onMdnsCamera = +[](const qxnet_mdns_camera*, void*) { return int32_t{0}; };
    const auto onScanned = +[](uint32_t, const qxnet_scanned_camera*, void*) { return int32_t{0}; };
    const auto onData = +[](const uint8_t*, uint32_t, void*) { return int32_t{0}; };
    // Evaluated in order, so that a row may use what an earlier one stored.
    const std::pair<qxnet_result, qxnet_result> calls[] = {
        {qxnet_version(), QXNET_VERSION},
        {qxnet_lock_create(nullptr), invalid},
        {qxnet_lock_destroy(nullptr), invalid},
        {qxnet_tftp_create(nullptr, 0, 0, 1, nullptr), invalid},
        {qxnet_tftp_create(nullptr, 0, 0, 0, &unmade), range},
        {qxnet_tftp_destroy(nullptr), invalid},
        {qxnet_tftp_open(nullptr, 0x7F000001, 69), invalid},
        {qxnet_tftp_close(nullptr), invalid},
        {qxnet_tftp_discover(nullptr, nullptr, 0, onCamera, nullptr), invalid},
        {qxnet_tftp_discover(tftp, nullptr, 4, nullptr, nullptr), invalid},
        {qxnet_tftp_read(nullptr, "f", &byte, 1, &length, nullptr, nullptr), invalid},
        {qxnet_tftp_read(tftp, "f", nullptr, 1, &length, nullptr, nullptr), invalid},
        {qxnet_tftp_read(tftp, nullptr, &byte, 1, &length, nullptr, nullptr), invalid},
        {qxnet_tftp_read(tftp, "f", &byte, 1, nullptr, nullptr, nullptr), invalid},
        {qxnet_tftp_read_to(nullptr, "f", onData, nullptr, nullptr, &length), invalid},
        {qxnet_tftp_read_to(tftp, "f", nullptr, nullptr, nullptr, &length), invalid},
        {qxnet_tftp_write(nullptr, "f"), invalid},
        {qxnet_tftp_write(tftp, nullptr), invalid},
        {qxnet_tftp_last_error(nullptr, text, 8, &n), invalid},
        {qxnet_mdns_create(nullptr, 0x7F000001, nullptr), invalid},
        {qxnet_mdns_destroy(nullptr), invalid},
        {qxnet_mdns_query_cameras(nullptr, onMdnsCamera, nullptr), invalid},
        {qxnet_mdns_query_mac(nullptr, 1, &length, &n), invalid},
        {qxnet_mdns_last_error(nullptr, text, 8, &n), invalid},
        {qxnet_http_create(nullptr, "127.0.0.1", 1, nullptr), invalid},
        {qxnet_http_create(nullptr, nullptr, 1, &unmadeHttp), invalid},
        {qxnet_http_destroy(nullptr), invalid},
        {qxnet_http_get(nullptr, "/", nullptr, nullptr, nullptr, nullptr), invalid},
        {qxnet_http_get(http, nullptr, nullptr, nullptr, nullptr, nullptr), invalid},
        {qxnet_http_get(http, "/", "user", nullptr, nullptr, nullptr), invalid},
        {qxnet_http_status(nullptr, &n, &n), invalid},
        {qxnet_http_close(nullptr), invalid},
        {qxnet_http_last_error(nullptr, text, 8, &n), invalid},
        {qxnet_scanner_create(nullptr, nullptr), invalid},
        {qxnet_scanner_destroy(nullptr), invalid},
        {qxnet_scanner_set_interfaces(nullptr, nullptr, 0), invalid},
        {qxnet_scanner_set_interfaces(scanner, names, 2), invalid},
        {qxnet_scanner_set_interfaces(scanner, nullptr, 1), invalid},
        {qxnet_scanner_set_loopback(nullptr, 1), invalid},
        {qxnet_scanner_set_methods(nullptr, 1), invalid},
        {qxnet_scanner_set_methods(scanner, 0), range},
        {qxnet_scanner_set_methods(scanner, 4), range},
        {qxnet_scanner_set_methods(scanner, QXNET_METHOD_MDNS), QXNET_OK},
        {qxnet_scanner_set_request(nullptr, &byte, 1, 10069), invalid},
        {qxnet_scanner_set_request(scanner, nullptr, 4, 10069), invalid},
        {qxnet_scanner_set_request(scanner, &byte, 0, 10069), invalid},
        {qxnet_scanner_set_request(scanner, &byte, 1, 0), invalid},
        {qxnet_scanner_set_watch_timing(nullptr, 1, 1), invalid},
        {qxnet_scanner_set_watch_timing(scanner, 0, 2), range},
        {qxnet_scanner_set_watch_timing(scanner, 200, 0), range},
        {qxnet_scanner_scan(nullptr, onScanned, nullptr), invalid},
        {qxnet_scanner_scan(scanner, nullptr, nullptr), invalid},
        {qxnet_scanner_start(nullptr, onScanned, nullptr), invalid},
        {qxnet_scanner_start(scanner, nullptr, nullptr), invalid},
        {qxnet_scanner_stop(nullptr), invalid},
        {qxnet_scanner_stop(scanner), QXNET_OK},  // not watching: nothing to stop
        {qxnet_scanner_last_error(nullptr, text, 8, &n), invalid},
        {qxnet_net_interfaces(nullptr, 0, nullptr), invalid},
        {qxnet_net_addresses(nullptr, 1, &n), invalid},
        {qxnet_net_neighbours(nullptr, 0, nullptr), invalid},
        {qxnet_net_neighbours(nullptr, 0, &n), n == 0 ? QXNET_OK : small},
        {qxnet_net_addresses(nullptr, 0, &addresses), addresses == 0 ? QXNET_OK : small},
        {qxnet_net_addresses(&shortRow, 1, &n), invalid},  // a row size that is not the struct's
        {qxnet_net_addresses(rows, 64, &stored), QXNET_OK},
        {qxnet_net_ping(0x7F000001, 10, nullptr), invalid},
        {qxnet_net_free_address(0x7F000001, 0x7F000002, nullptr), invalid},
        {qxnet_net_free_address(0x7F000001, 0, &n), invalid},
        {qxnet_result_text(QXNET_E_TIMED_OUT, nullptr, 0, &needed), small},
        {qxnet_result_text(QXNET_E_TIMED_OUT, tooSmall, needed - 1, &needed), small},
        {qxnet_result_text(QXNET_E_TIMED_OUT, nullptr, needed, nullptr), invalid},
        {qxnet_result_text(12029, text, sizeof text, nullptr), QXNET_E_OBJECT_NOT_FOUND},
        {qxnet_result_text(QXNET_E_TIMED_OUT, text, needed, nullptr), QXNET_OK},
        {qxnet_http_destroy(http), QXNET_OK},
        {qxnet_scanner_destroy(scanner), QXNET_OK},
        {qxnet_tftp_destroy(tftp), QXNET_OK},
    };
    for (std::size_t i = 0; i < std::size(calls); ++i) {
        EXPECT_EQ(calls[i].first, calls[i].second) << "call " << i;
    }
    EXPECT_EQ(stored, addresses);
    for (uint32_t i = 0; i < stored; ++i) {
        EXPECT_EQ(rows[i].size, sizeof rows[i]);
        EXPECT_NE(rows[i].address, 0u);
    }
    EXPECT_EQ(unmade, nullptr);
    EXPECT_EQ(tooSmall[0], 'x');
    EXPECT_EQ(std::strlen(text) + 1, needed);
    EXPECT_NE(std::string(text).find("imed"), std::string::npos) << text;
}

// A library exception (here: no socket can be made) comes back as its code, its text as the
// handle's last error until a success clears it.
TEST(CInterfaceArguments, ExceptionsBecomeCodesAndLastErrors) {
    QX::ScriptedSocketBackend sockets;
    sockets.Install();
    sockets.FailCreate(24);
    qxnet_tftp* client = nullptr;
    ASSERT_EQ(qxnet_tftp_create(nullptr, 0, 0, 1, &client), QXNET_OK);
    char empty[1] = {'x'};  // holds only an empty text
    EXPECT_EQ(qxnet_tftp_last_error(client, empty, sizeof empty, nullptr), QXNET_OK);
    EXPECT_EQ(empty[0], '\0');
    EXPECT_NE(qxnet_tftp_open(client, 0x7F000001, 69), QXNET_OK);
    EXPECT_EQ(qxnet_tftp_last_error(client, empty, sizeof empty, nullptr),
              QXNET_E_BUFFER_TOO_SMALL);
    // Writing on a client that never opened throws inside; the code comes back instead.
    EXPECT_NE(qxnet_tftp_write(client, "upload"), QXNET_OK);
    EXPECT_EQ(qxnet_tftp_last_error(client, empty, sizeof empty, nullptr),
              QXNET_E_BUFFER_TOO_SMALL);
    EXPECT_EQ(qxnet_tftp_close(client), QXNET_OK);
    EXPECT_EQ(qxnet_tftp_last_error(client, empty, sizeof empty, nullptr), QXNET_OK);
    EXPECT_EQ(qxnet_tftp_destroy(client), QXNET_OK);
}

// A GET hands its body to the callback and both statuses out; a callback that stops, the
// transport's failure and a silent camera come back as their code and text.
TEST(CInterfaceArguments, HttpGetMapsBodyStatusAndErrors) {
    QXTest::FakeHttpTransport transport;
    QXTest::FakeEcho echo(true);
    qxnet_http* http = nullptr;
    ASSERT_EQ(qxnet_http_create(nullptr, "127.0.0.5", 0x1234, &http), QXNET_OK);
    uint32_t status = 0;
    uint32_t server = 0;
    const auto text = [&] {
        char error[128] = {};
        EXPECT_EQ(qxnet_http_last_error(http, error, sizeof error, nullptr), QXNET_OK);
        return std::string(error);
    };
    std::string body;
    const qxnet_body_callback append = [](const uint8_t* data, uint32_t size, void* context) {
        static_cast<std::string*>(context)->append(reinterpret_cast<const char*>(data), size);
        return int32_t{0};
    };
    transport.Script({.status = 401, .blocks = {"den", "ied"}});
    ASSERT_EQ(qxnet_http_get(http, "/caf\xC3\xA9", "admin", "s3cret", append, &body), QXNET_OK);
    EXPECT_EQ(body, "denied");
    EXPECT_EQ(transport.Calls(L"OpenRequest"), Lines{L"OpenRequest /caf\u00E9"});
    EXPECT_EQ(transport.Calls(L"SetCredentials"), Lines{L"SetCredentials admin s3cret"});
    EXPECT_EQ(qxnet_http_status(http, &status, &server), QXNET_OK);
    EXPECT_EQ(status, 200u);
    EXPECT_EQ(server, 401u);
    // Each GET delivers its own body only.
    transport.Script({.blocks = {"page"}});
    ASSERT_EQ(qxnet_http_get(http, "/", nullptr, nullptr, append, &body), QXNET_OK);
    EXPECT_EQ(body, "deniedpage");
    transport.Script({.blocks = {"page"}});
    const qxnet_body_callback stop = [](const uint8_t*, uint32_t, void*) { return int32_t{1}; };
    EXPECT_EQ(qxnet_http_get(http, "/", nullptr, nullptr, stop, nullptr), QXNET_E_UNEXPECTED);
    EXPECT_EQ(text(), "the body callback stopped the delivery");
    transport.Script({.sendError = 12029});
    transport.Script({.sendError = 12029});
    EXPECT_EQ(qxnet_http_get(http, "/", nullptr, nullptr, nullptr, nullptr), 12029u);
    EXPECT_EQ(text(), "HttpSendRequest() failed. Error 12029");
    transport.Script({.receiveError = 12002});
    transport.Script({.receiveError = 12002});
    EXPECT_EQ(qxnet_http_get(http, "/", nullptr, nullptr, nullptr, nullptr), 12002u);
    EXPECT_EQ(text(), "no response could be read. Error 12002");
    // A camera that misses the ping has no error number: its own code and text, not the
    // earlier request's.
    echo.everyAddressAnswers = false;
    EXPECT_EQ(qxnet_http_get(http, "/", nullptr, nullptr, nullptr, nullptr),
              QXNET_E_CONNECTION_LOST);
    EXPECT_EQ(text(), "the camera did not answer the ping");
    EXPECT_EQ(qxnet_http_status(http, &status, nullptr), QXNET_OK);
    EXPECT_EQ(status, 12029u);
    EXPECT_EQ(qxnet_http_close(http), QXNET_OK);
    EXPECT_EQ(qxnet_http_status(http, &status, &server), QXNET_OK);
    EXPECT_EQ(status + server, 0u);
    EXPECT_EQ(qxnet_http_destroy(http), QXNET_OK);
}

}  // namespace
