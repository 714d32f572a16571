// The C interface's argument checks and failure mapping, through the scripted sockets and the
// fake HTTP transport: null handles and pointers, sizes of 0, buffers that are too small (with
// the size needed), and library failures that come back as result codes with the handle's text.
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "qxnet/c/qxnet.h"
#include "qxnet/common/QXResult.h"
#include "tests/support/QXFakeEcho.h"
#include "tests/support/QXFakeHttpTransport.h"
#include "tests/support/QXScriptedSockets.h"

namespace {

int32_t OnCamera(const qxnet_camera*, void*) {
    return 0;
}
int32_t OnMdnsCamera(const qxnet_mdns_camera*, void*) {
    return 0;
}
int32_t OnScanned(uint32_t, const qxnet_scanned_camera*, void*) {
    return 0;
}
int32_t OnData(const uint8_t*, uint32_t, void*) {
    return 0;
}

// Every entry point given a null handle or a null required pointer refuses it.
TEST(CInterfaceArguments, NullHandlesAndPointersAreRefused) {
    uint32_t n = 0;
    uint64_t length = 0;
    uint64_t mac = 0;
    char text[8];
    uint8_t buffer[8];
    qxnet_http* http = nullptr;
    const std::function<qxnet_result()> calls[] = {
        [] { return qxnet_lock_create(nullptr); },
        [] { return qxnet_lock_destroy(nullptr); },
        [] { return qxnet_tftp_create(nullptr, 0, 0, 1, nullptr); },
        [] { return qxnet_tftp_destroy(nullptr); },
        [] { return qxnet_tftp_open(nullptr, 0x7F000001, 69); },
        [] { return qxnet_tftp_close(nullptr); },
        [] { return qxnet_tftp_discover(nullptr, nullptr, 0, OnCamera, nullptr); },
        [&] { return qxnet_tftp_read(nullptr, "f", buffer, 8, &length, nullptr, nullptr); },
        [&] { return qxnet_tftp_read_to(nullptr, "f", OnData, nullptr, nullptr, &length); },
        [] { return qxnet_tftp_write(nullptr, "f"); },
        [&] { return qxnet_tftp_last_error(nullptr, text, 8, &n); },
        [] { return qxnet_mdns_create(nullptr, 0x7F000001, nullptr); },
        [] { return qxnet_mdns_destroy(nullptr); },
        [] { return qxnet_mdns_query_cameras(nullptr, OnMdnsCamera, nullptr); },
        [&] { return qxnet_mdns_query_mac(nullptr, 1, &mac, &n); },
        [&] { return qxnet_mdns_last_error(nullptr, text, 8, &n); },
        [] { return qxnet_http_create(nullptr, "127.0.0.1", 1, nullptr); },
        [&] { return qxnet_http_create(nullptr, nullptr, 1, &http); },
        [] { return qxnet_http_destroy(nullptr); },
        [] { return qxnet_http_get(nullptr, "/", nullptr, nullptr, nullptr, nullptr); },
        [&] { return qxnet_http_status(nullptr, &n, &n); },
        [] { return qxnet_http_close(nullptr); },
        [&] { return qxnet_http_last_error(nullptr, text, 8, &n); },
        [] { return qxnet_scanner_create(nullptr, nullptr); },
        [] { return qxnet_scanner_destroy(nullptr); },
        [] { return qxnet_scanner_set_interfaces(nullptr, nullptr, 0); },
        [] { return qxnet_scanner_set_loopback(nullptr, 1); },
        [] { return qxnet_scanner_set_methods(nullptr, 1); },
        [&] { return qxnet_scanner_set_request(nullptr, buffer, 1, 10069); },
        [] { return qxnet_scanner_set_watch_timing(nullptr, 1, 1); },
        [] { return qxnet_scanner_scan(nullptr, OnScanned, nullptr); },
        [] { return qxnet_scanner_start(nullptr, OnScanned, nullptr); },
        [] { return qxnet_scanner_stop(nullptr); },
        [&] { return qxnet_scanner_last_error(nullptr, text, 8, &n); },
        [] { return qxnet_net_interfaces(nullptr, 0, nullptr); },
        [&] { return qxnet_net_addresses(nullptr, 1, &n); },
        [] { return qxnet_net_neighbours(nullptr, 0, nullptr); },
        [] { return qxnet_net_ping(0x7F000001, 10, nullptr); },
        [] { return qxnet_net_free_address(0x7F000001, 0x7F000002, nullptr); },
        [&] { return qxnet_net_free_address(0x7F000001, 0, &n); },
    };
    for (std::size_t i = 0; i < std::size(calls); ++i) {
        EXPECT_EQ(calls[i](), QXNET_E_INVALID_ARGUMENT) << "call " << i;
    }
}

// A handle's functions with null or empty buffers where the handle itself is valid.
TEST(CInterfaceArguments, ValidHandlesRefuseMissingBuffersAndCallbacks) {
    qxnet_tftp* tftp = nullptr;
    ASSERT_EQ(qxnet_tftp_create(nullptr, 0, 0, 1, &tftp), QXNET_OK);
    uint64_t length = 7;
    uint8_t byte = 0;
    qxnet_http* http = nullptr;
    ASSERT_EQ(qxnet_http_create(nullptr, "127.0.0.1", 1, &http), QXNET_OK);
    qxnet_scanner* scanner = nullptr;
    ASSERT_EQ(qxnet_scanner_create(nullptr, &scanner), QXNET_OK);
    const char* names[] = {"lo", nullptr};
    const qxnet_result invalid = QXNET_E_INVALID_ARGUMENT;
    const qxnet_result range = QXNET_E_PARAMETER_OUT_OF_RANGE;
    const std::vector<std::pair<qxnet_result, qxnet_result>> calls = {
        {qxnet_tftp_read(tftp, "f", nullptr, 1, &length, nullptr, nullptr), invalid},
        {qxnet_tftp_read(tftp, nullptr, &byte, 1, &length, nullptr, nullptr), invalid},
        {qxnet_tftp_read(tftp, "f", &byte, 1, nullptr, nullptr, nullptr), invalid},
        {qxnet_tftp_read_to(tftp, "f", nullptr, nullptr, nullptr, &length), invalid},
        {qxnet_tftp_discover(tftp, nullptr, 4, nullptr, nullptr), invalid},
        {qxnet_tftp_write(tftp, nullptr), invalid},
        {qxnet_http_get(http, nullptr, nullptr, nullptr, nullptr, nullptr), invalid},
        {qxnet_http_get(http, "/", "user", nullptr, nullptr, nullptr), invalid},
        {qxnet_scanner_set_interfaces(scanner, names, 2), invalid},
        {qxnet_scanner_set_interfaces(scanner, nullptr, 1), invalid},
        {qxnet_scanner_set_request(scanner, nullptr, 4, 10069), invalid},
        {qxnet_scanner_set_request(scanner, &byte, 0, 10069), invalid},
        {qxnet_scanner_set_request(scanner, &byte, 1, 0), invalid},
        {qxnet_scanner_set_methods(scanner, 0), range},
        {qxnet_scanner_set_methods(scanner, 4), range},
        {qxnet_scanner_set_watch_timing(scanner, 0, 2), range},
        {qxnet_scanner_set_watch_timing(scanner, 200, 0), range},
        {qxnet_scanner_scan(scanner, nullptr, nullptr), invalid},
        {qxnet_scanner_start(scanner, nullptr, nullptr), invalid},
        {qxnet_scanner_stop(scanner), QXNET_OK},  // not watching: nothing to stop
        {qxnet_scanner_set_methods(scanner, QXNET_METHOD_MDNS), QXNET_OK},
    };
    for (std::size_t i = 0; i < calls.size(); ++i) {
        EXPECT_EQ(calls[i].first, calls[i].second) << "call " << i;
    }
    EXPECT_EQ(qxnet_http_destroy(http), QXNET_OK);
    EXPECT_EQ(qxnet_scanner_destroy(scanner), QXNET_OK);
    EXPECT_EQ(qxnet_tftp_destroy(tftp), QXNET_OK);
    qxnet_tftp* none = reinterpret_cast<qxnet_tftp*>(&byte);
    EXPECT_EQ(qxnet_tftp_create(nullptr, 0, 0, 0, &none), range);
    EXPECT_EQ(none, nullptr);
}

// Text out: sizes of 0, one short, exact; null buffers; the needed size always comes back.
TEST(CInterfaceArguments, TextOutTellsTheNeededSize) {
    uint32_t needed = 0;
    EXPECT_EQ(qxnet_result_text(QXNET_E_TIMED_OUT, nullptr, 0, &needed), QXNET_E_BUFFER_TOO_SMALL);
    ASSERT_GT(needed, 1u);
    std::vector<char> text(needed, 'x');
    EXPECT_EQ(qxnet_result_text(QXNET_E_TIMED_OUT, text.data(), needed - 1, &needed),
              QXNET_E_BUFFER_TOO_SMALL);
    EXPECT_EQ(text[0], 'x') << "nothing is stored when it does not fit";
    EXPECT_EQ(qxnet_result_text(QXNET_E_TIMED_OUT, nullptr, needed, nullptr),
              QXNET_E_INVALID_ARGUMENT);
    EXPECT_EQ(qxnet_result_text(QXNET_E_TIMED_OUT, text.data(), needed, nullptr), QXNET_OK);
    EXPECT_EQ(std::strlen(text.data()) + 1, needed);
    EXPECT_NE(std::string(text.data()).find("imed"), std::string::npos) << text.data();
    EXPECT_EQ(qxnet_result_text(12029, text.data(), needed, nullptr), QXNET_E_OBJECT_NOT_FOUND);
    EXPECT_EQ(qxnet_version(), static_cast<uint32_t>(QXNET_VERSION));
}

// Tables: the count alone with no rows, too few rows, and a row size that is not the struct's.
TEST(CInterfaceArguments, TablesTellTheRowsNeeded) {
    uint32_t count = 99;
    const qxnet_result first = qxnet_net_addresses(nullptr, 0, &count);
    ASSERT_TRUE(first == QXNET_OK || first == QXNET_E_BUFFER_TOO_SMALL) << std::hex << first;
    EXPECT_EQ(first == QXNET_OK, count == 0u);
    std::vector<qxnet_address_row> rows(count + 1);
    rows[0].size = sizeof rows[0] - 1;
    uint32_t refused = 0;
    EXPECT_EQ(qxnet_net_addresses(rows.data(), static_cast<uint32_t>(rows.size()), &refused),
              QXNET_E_INVALID_ARGUMENT);
    rows[0].size = sizeof rows[0];
    uint32_t stored = 0;
    ASSERT_EQ(qxnet_net_addresses(rows.data(), static_cast<uint32_t>(rows.size()), &stored),
              QXNET_OK);
    EXPECT_EQ(stored, count);
    for (uint32_t i = 0; i < stored; ++i) {
        EXPECT_EQ(rows[i].size, sizeof rows[i]);
        EXPECT_NE(rows[i].address, 0u);
    }
    uint32_t neighbours = 0;
    const qxnet_result table = qxnet_net_neighbours(nullptr, 0, &neighbours);
    EXPECT_TRUE(table == QXNET_OK || table == QXNET_E_BUFFER_TOO_SMALL) << std::hex << table;
}

// A library exception (here: no socket can be made) comes back as its code, with the text in
// the handle's last error, which tells its needed size like any text out.
TEST(CInterfaceArguments, ExceptionsBecomeCodesAndLastErrors) {
    QX::ScriptedSocketBackend sockets;
    sockets.Install();
    sockets.FailCreate(24);
    qxnet_tftp* client = nullptr;
    ASSERT_EQ(qxnet_tftp_create(nullptr, 0, 0, 1, &client), QXNET_OK);
    uint32_t needed = 0;
    char empty[1] = {'x'};
    EXPECT_EQ(qxnet_tftp_last_error(client, empty, sizeof empty, &needed), QXNET_OK);
    EXPECT_EQ(needed, 1u);
    EXPECT_EQ(empty[0], '\0');
    EXPECT_NE(qxnet_tftp_open(client, 0x7F000001, 69), QXNET_OK);
    EXPECT_EQ(qxnet_tftp_last_error(client, nullptr, 0, &needed), QXNET_E_BUFFER_TOO_SMALL);
    EXPECT_GT(needed, 1u);
    // Writing on a client that never opened throws inside; the code comes back instead.
    EXPECT_NE(qxnet_tftp_write(client, "upload"), QXNET_OK);
    EXPECT_EQ(qxnet_tftp_last_error(client, nullptr, 0, &needed), QXNET_E_BUFFER_TOO_SMALL);
    // A success clears the error.
    EXPECT_EQ(qxnet_tftp_close(client), QXNET_OK);
    EXPECT_EQ(qxnet_tftp_last_error(client, nullptr, 0, &needed), QXNET_E_BUFFER_TOO_SMALL);
    EXPECT_EQ(needed, 1u);
    EXPECT_EQ(qxnet_tftp_destroy(client), QXNET_OK);
}

// A GET hands the whole body to the callback and both statuses out; a callback that stops the
// delivery, a silent camera and the transport's failure each come back as their code and text.
TEST(CInterfaceArguments, HttpGetMapsBodyStatusAndErrors) {
    QXTest::FakeHttpTransport transport;
    QXTest::FakeEcho echo(true);
    qxnet_http* http = nullptr;
    ASSERT_EQ(qxnet_http_create(nullptr, "127.0.0.5", 0x1234, &http), QXNET_OK);
    // A camera that does not answer the ping: no error number to give.
    echo.everyAddressAnswers = false;
    uint32_t status = 0;
    uint32_t server = 0;
    EXPECT_EQ(qxnet_http_get(http, "/", nullptr, nullptr, nullptr, nullptr),
              QXNET_E_CONNECTION_LOST);
    EXPECT_EQ(qxnet_http_status(http, &status, nullptr), QXNET_OK);
    EXPECT_EQ(status, 12029u);
    echo.everyAddressAnswers = true;
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
    EXPECT_EQ(transport.Calls(L"OpenRequest"),
              std::vector<std::wstring>{L"OpenRequest /caf\u00E9"});
    EXPECT_EQ(transport.Calls(L"SetCredentials"),
              std::vector<std::wstring>{L"SetCredentials admin s3cret"});
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
    // A silent camera after that failure: its own code, not the earlier request's number.
    echo.everyAddressAnswers = false;
    EXPECT_EQ(qxnet_http_get(http, "/", nullptr, nullptr, nullptr, nullptr),
              QXNET_E_CONNECTION_LOST);
    echo.everyAddressAnswers = true;
    EXPECT_EQ(qxnet_http_close(http), QXNET_OK);
    EXPECT_EQ(qxnet_http_status(http, &status, &server), QXNET_OK);
    EXPECT_EQ(status + server, 0u);
    EXPECT_EQ(qxnet_http_destroy(http), QXNET_OK);
}

}  // namespace
