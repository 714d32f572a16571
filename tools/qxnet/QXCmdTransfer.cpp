// qxnet get / qxnet write: file transfer with one camera over its TFTP dialect, and the demo's
// transfer step.
#include <unistd.h>

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <iostream>
#include <memory>
#include <mutex>

#include <libdeflate.h>
#include <boost/make_shared.hpp>

#include "qxnet/common/QXException.h"
#include "qxnet/common/QXResult.h"
#include "qxnet/tftp/QXTFTPClient.h"
#include "sim/QXSimTftpServer.h"
#include "sim/QXSimulator.h"
#include "tools/qxnet/QXCli.h"
#include "tools/qxnet/QXCliOutput.h"

namespace QXCli {
namespace {

using Clock = std::chrono::steady_clock;

struct TransferSettings {
    std::string address;
    std::string file;
    std::string output;
    int port = 69;
    int retries = 3;
    bool useDouble = false;
    bool async = false;
};

std::string Hex32(std::uint32_t value) {
    char text[9];
    std::snprintf(text, sizeof text, "%08x", value);
    return text;
}

// The client's stream: the full blocks go straight to the output as they are delivered.
class OutputStream : public QXSDK::IStream {
public:
    explicit OutputStream(std::ostream* out) : m_out(out) {}
    std::int32_t Write(const void* data, std::uint32_t size) override {
        const auto* bytes = static_cast<const std::uint8_t*>(data);
        crc = libdeflate_crc32(crc, bytes, size);
        written += size;
        if (m_out != nullptr) {
            m_out->write(static_cast<const char*>(data), size);
        }
        return static_cast<std::int32_t>(size);
    }
    std::int32_t Read(void*, std::uint32_t) override { return 0; }
    std::uint32_t GetSize() override { return static_cast<std::uint32_t>(written); }

    // CRC-32 (IEEE, as zip and Ethernet use it) of what passed through.
    std::uint32_t crc = 0;
    std::uint64_t written = 0;

private:
    std::ostream* m_out;
};

// "blocks, bytes, rate" on standard error while a terminal watches, at most ten times a second.
struct ProgressLine {
    bool visible = false;
    Clock::time_point start = Clock::now();
    Clock::time_point last{};
    bool drawn = false;

    static void Callback(std::uint32_t blocks, std::uint64_t bytes, void* context) {
        auto* self = static_cast<ProgressLine*>(context);
        const Clock::time_point now = Clock::now();
        if (!self->visible || now - self->last < std::chrono::milliseconds(100)) {
            return;
        }
        self->last = now;
        const double seconds = std::chrono::duration<double>(now - self->start).count();
        std::fprintf(stderr, "\rreceiving: %u blocks, %llu bytes, %.1f MB/s   ", blocks,
                     static_cast<unsigned long long>(bytes),
                     seconds > 0 ? static_cast<double>(bytes) / seconds / 1e6 : 0.0);
        std::fflush(stderr);
        self->drawn = true;
    }
    void End() {
        if (drawn) {
            std::fputc('\n', stderr);
            drawn = false;
        }
    }
};

struct ReadResult {
    int code = -1;
    std::uint64_t bytes = 0;
    std::uint32_t crc = 0;
    double seconds = 0;
    std::string error;
    bool doublePackets = false;
};

// Outcome of ReadAsync, handed from the receive thread.
struct AsyncWait {
    std::mutex mutex;
    std::condition_variable changed;
    bool done = false;
    bool ok = false;
    std::uint32_t tail = 0;

    static void Callback(QXSDK::IStream* stream, unsigned char*, std::uint32_t value,
                         void* context) {
        auto* self = static_cast<AsyncWait*>(context);
        std::lock_guard<std::mutex> guard(self->mutex);
        self->done = true;
        self->ok = stream != nullptr;
        self->tail = self->ok ? value : 0;
        self->changed.notify_all();
    }
};

// Reads the file into out (null: only counted). Throws QX::Exception for set-up faults.
ReadResult ReadFile(std::uint32_t address, const TransferSettings& settings, std::ostream* out,
                    bool showProgress) {
    QXSDK::TFTPClient client(boost::make_shared<QX::CodeLock>(), 0, settings.useDouble,
                             settings.retries, 0, settings.port);
    client.Open(address, settings.port);
    ProgressLine progress;
    progress.visible = showProgress && ::isatty(STDERR_FILENO) != 0;
    client.SetProgressCallback(&ProgressLine::Callback, &progress);
    OutputStream stream(out);
    std::array<unsigned char, 2904> tail{};
    std::uint32_t length = static_cast<std::uint32_t>(tail.size());
    ReadResult result;
    const Clock::time_point start = Clock::now();
    if (settings.async) {
        AsyncWait wait;
        result.code = client.ReadAsync(settings.file.c_str(), &stream, tail.data(), &length,
                                       &AsyncWait::Callback, &wait);
        if (result.code == 0) {
            std::unique_lock<std::mutex> guard(wait.mutex);
            wait.changed.wait(guard, [&] { return wait.done; });
            // The callback says only whether the file came; the reason is in the error text.
            result.code = wait.ok ? 0 : static_cast<int>(QX::ResultCode::TimedOut);
            length = wait.tail;
        }
    } else {
        result.code = client.Read(settings.file.c_str(), &stream, tail.data(), &length, nullptr);
    }
    result.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    progress.End();
    if (result.code == 0) {
        stream.Write(tail.data(), length);
    }
    result.bytes = stream.written;
    result.crc = stream.crc;
    result.error = Narrow(client.GetError());
    result.doublePackets = client.UseDoublePackets();
    return result;
}

int Get(Global& global, const TransferSettings& settings) {
    std::uint32_t address = 0;
    if (!ParseAddress(settings.address, address)) {
        return Error("get: bad address \"" + settings.address + "\"");
    }
    // The file is replaced only when the whole of it came (see OutputFile).
    std::unique_ptr<OutputFile> file;
    std::ostream* out = nullptr;
    if (!settings.output.empty()) {
        file = std::make_unique<OutputFile>(settings.output);
        out = &file->Stream();
    } else if (!global.json) {
        out = &std::cout;
    }
    QXSDK::TFTPClient::Startup();
    ReadResult r = ReadFile(address, settings, out, !global.json);
    QXSDK::TFTPClient::Cleanup();
    std::string reason;
    if (r.code == 0 && file && !file->Commit(reason)) {
        return Error("get: cannot write " + settings.output + ": " + reason);
    }
    if (out == &std::cout && !StandardOutputWritten(reason)) {
        return Error("get: cannot write standard output: " + reason);
    }
    const double rate = r.seconds > 0 ? static_cast<double>(r.bytes) / r.seconds / 1e6 : 0;
    if (global.json) {
        PrintJson(std::cout, {{"address", settings.address},
                              {"file", settings.file},
                              {"ok", r.code == 0},
                              {"result", r.code},
                              {"error", r.error},
                              {"bytes", r.bytes},
                              {"crc32", Hex32(r.crc)},
                              {"seconds", r.seconds},
                              {"doublePackets", r.doublePackets}});
    }
    if (r.code != 0) {
        if (!global.json) {
            Warn("get: " + settings.file + " not delivered: " + r.error);
        }
        return 1;
    }
    if (!global.json) {
        // The summary goes where it does not mix with the file's bytes.
        std::ostream& summary = settings.output.empty() ? std::cerr : std::cout;
        char line[200];
        std::snprintf(line, sizeof line, "%llu bytes in %.3f s (%.1f MB/s), blocks of %d, crc32 %s",
                      static_cast<unsigned long long>(r.bytes), r.seconds, rate,
                      r.doublePackets ? 2904 : 1450, Hex32(r.crc).c_str());
        summary << settings.file << ": " << line
                << (settings.output.empty() ? "" : " -> " + settings.output) << "\n";
    }
    return 0;
}

int WriteRequest(Global& global, const TransferSettings& settings) {
    std::uint32_t address = 0;
    if (!ParseAddress(settings.address, address)) {
        return Error("write: bad address \"" + settings.address + "\"");
    }
    QXSDK::TFTPClient::Startup();
    QXSDK::TFTPClient client(boost::make_shared<QX::CodeLock>(), 0, settings.useDouble,
                             settings.retries, 0, settings.port);
    client.Open(address, settings.port);
    bool acknowledged = true;
    std::string error;
    try {
        client.Write(settings.file.c_str());
    } catch (const QX::Exception& e) {
        // Silence or a refusal is the camera's answer; anything else is a fault here.
        if (e.hResult != QX::ResultCode::TimedOut) {
            throw;
        }
        acknowledged = false;
        error = Narrow(e.message);
    }
    client.Close();
    QXSDK::TFTPClient::Cleanup();
    if (global.json) {
        PrintJson(std::cout, {{"address", settings.address},
                              {"file", settings.file},
                              {"acknowledged", acknowledged},
                              {"error", error}});
    } else if (acknowledged) {
        std::cout << settings.address << " acknowledged the write request for " << settings.file
                  << " (block 0)\n";
    } else {
        Warn("write: " + error);
    }
    return acknowledged ? 0 : 1;
}

// The demo's transfer step: a generated file from the first demo camera, in both size classes.
int DemoTransfer(DemoContext& context) {
    const QXSim::SimCamera& camera = context.simulator.Cameras().front();
    constexpr std::uint64_t kSize = 3 * 1000 * 1000 + 17;
    QXSim::TftpServerConfig config;
    config.address = camera.address;
    config.files = camera.files;
    config.generated["demo.bin"] = kSize;
    auto& server = context.simulator.Add(std::make_unique<QXSim::TftpServer>(config));
    std::string error;
    if (!context.simulator.Start(error)) {
        return Error("demo: " + error);
    }
    const std::vector<std::uint8_t> content = QXSim::TftpServer::GeneratedContent(kSize);
    const std::uint32_t expected = libdeflate_crc32(0, content.data(), content.size());
    TransferSettings settings;
    settings.address = QXSim::AddressText(camera.address);
    settings.file = "demo.bin";
    settings.port = server.Port();
    int failures = 0;
    nlohmann::json reads = nlohmann::json::array();
    for (bool useDouble : {false, true}) {
        settings.useDouble = useDouble;
        ReadResult r = ReadFile(camera.address, settings, nullptr, false);
        const bool ok = r.code == 0 && r.bytes == kSize && r.crc == expected;
        failures += ok ? 0 : 1;
        reads.push_back({{"blockSize", useDouble ? 2904 : 1450},
                         {"ok", ok},
                         {"bytes", r.bytes},
                         {"crc32", Hex32(r.crc)},
                         {"seconds", r.seconds}});
        if (!context.global.json) {
            std::printf("tftp://%s:%d/%s, blocks of %d: %llu bytes, crc32 %s (%s) in %.3f s\n",
                        settings.address.c_str(), settings.port, settings.file.c_str(),
                        useDouble ? 2904 : 1450, static_cast<unsigned long long>(r.bytes),
                        Hex32(r.crc).c_str(), ok ? "matches the camera's file" : r.error.c_str(),
                        r.seconds);
        }
    }
    context.report["transfer"] = {{"address", settings.address},
                                  {"file", settings.file},
                                  {"expectedCrc32", Hex32(expected)},
                                  {"reads", reads}};
    server.Stop();
    return failures == 0 ? 0 : 1;
}

void AddClientOptions(CLI::App* command, TransferSettings& settings) {
    command->add_option("--port", settings.port, "The camera's TFTP port")
        ->capture_default_str()
        ->check(CLI::Range(1, 65535));
    command->add_option("--retries", settings.retries, "Attempts (and tolerated silences)")
        ->capture_default_str()
        ->check(CLI::Range(1, 100));
    command->add_flag("--double", settings.useDouble, "Offer blocks of 2904 bytes (else 1450)");
}

// A transfer command with its two positionals: the camera's address and a file name.
CLI::App* AddTransferCommand(CLI::App& app, const char* name, const char* description,
                             TransferSettings& settings, const char* file, const char* fileText) {
    CLI::App* command = app.add_subcommand(name, description);
    command->add_option("address", settings.address, "The camera's IPv4 address")
        ->required()
        ->check(CheckIPv4);
    command->add_option(file, settings.file, fileText)->required()->check(NotEmpty("file name"));
    return command;
}

}  // namespace

void AddTransferCommands(CLI::App& app, Global& global) {
    auto get = std::make_shared<TransferSettings>();
    CLI::App* getCommand =
        AddTransferCommand(app, "get", "Read a file from a camera over its TFTP dialect", *get,
                           "file", "The file's name on the camera");
    getCommand
        ->add_option("-o,--output", get->output,
                     "Save to this file (default: stdout); replaced only when the file came")
        ->check(NotEmpty("file name"));
    getCommand->add_flag("--async", get->async, "Read on the client's receive thread");
    AddClientOptions(getCommand, *get);
    getCommand->footer(
        R"(The file is requested in "netascii" with a block size of 1450 (or 2904 with --double);
the camera may grant the smaller one. The whole file is gathered before it is written. A
progress line (blocks, bytes, rate) is drawn on a terminal; a summary with size and CRC-32
follows. Exit code 0 when the file came, 1 when the camera did not deliver it, 2 on a usage or
system error.

Example:
  qxnet get 127.0.1.1 demo.bin -o demo.bin --port 10069 --double)");
    getCommand->callback(Action(global, [&global, get] { return Get(global, *get); }));

    auto write = std::make_shared<TransferSettings>();
    CLI::App* writeCommand = AddTransferCommand(
        app, "write", "Send a write request to a camera and report its acknowledgement", *write,
        "name", "The file name to announce");
    AddClientOptions(writeCommand, *write);
    writeCommand->footer(
        R"(The dialect transfers no data blocks for a write: the request is sent until the camera
acknowledges it with block 0. Exit code 0 when acknowledged, 1 when not, 2 on a usage or system
error.

Example:
  qxnet write 127.0.1.1 settings.cfg --port 10069)");
    writeCommand->callback(
        Action(global, [&global, write] { return WriteRequest(global, *write); }));

    AddDemoStep("File transfer (TFTP read of a generated file, both block sizes)", DemoTransfer);
}

}  // namespace QXCli
