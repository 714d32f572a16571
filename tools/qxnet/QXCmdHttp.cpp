// qxnet http: one GET to a camera's web server through HTTPClient, and the demo's web step.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <future>
#include <iostream>
#include <memory>
#include <thread>

#include <boost/make_shared.hpp>

#include "qxnet/http/QXBodySink.h"
#include "qxnet/http/QXHTTPClient.h"
#include "sim/QXSimWebServer.h"
#include "sim/QXSimulator.h"
#include "tools/qxnet/QXCli.h"
#include "tools/qxnet/QXCliOutput.h"

namespace QXCli {
namespace {

struct HttpSettings {
    std::string address;
    std::string path;
    std::string user;
    std::string password;
    std::string output;
    bool text = false;
};

// The command's own client: HTTPClient leaves the derived class its operation and its members.
class CliClient : public QXSDK::HTTPClient {
public:
    // The program knows no MAC, so the address is the camera's key in the login map.
    CliClient(std::uint32_t address, const HttpSettings& settings)
        : HTTPClient(address, address, boost::make_shared<QX::CodeLock>()),
          m_path(Widen(settings.path)),
          m_user(Widen(settings.user)),
          m_password(Widen(settings.password)),
          m_asText(settings.text),
          m_withCredentials(!settings.user.empty() || !settings.password.empty()) {}

    bool Execute() override {
        return RequestImpl(m_path.c_str(), m_asText, m_withCredentials ? m_user.c_str() : nullptr,
                           m_withCredentials ? m_password.c_str() : nullptr);
    }

    // Bytes received so far; the stream and the sink allow this from another thread.
    std::uint64_t Received() {
        QX::BodySink* sink = QX::BodySink::Of(this);
        return sink != nullptr ? sink->Size() : m_responseStream.GetSize();
    }
    std::string ErrorText() const { return Narrow(m_errorText); }
    std::string Text() const { return Narrow(m_responseText); }
    // Moves the body out of the stream into out straight from the stream's chunks, freeing
    // each as it is written.
    bool DrainTo(std::ostream& out) {
        class Sink : public QXSDK::IStream {
        public:
            explicit Sink(std::ostream& out) : m_out(out) {}
            std::int32_t Write(const void* data, std::uint32_t size) override {
                m_out.write(static_cast<const char*>(data), static_cast<std::streamsize>(size));
                return static_cast<std::int32_t>(size);
            }
            std::int32_t Read(void*, std::uint32_t) override { return -1; }
            std::uint32_t GetSize() override { return 0; }

        private:
            std::ostream& m_out;
        } sink(out);
        // ReadTo counts in a signed 32-bit result, so a body past 2 GB moves in parts.
        constexpr std::uint32_t kPart = 1u << 30;
        while (m_responseStream.GetSize() != 0 &&
               m_responseStream.ReadTo(&sink, std::min(m_responseStream.GetSize(), kPart)) > 0) {
        }
        return static_cast<bool>(out);
    }

private:
    std::wstring m_path;
    std::wstring m_user;
    std::wstring m_password;
    bool m_asText;
    bool m_withCredentials;
};

// A body saved to a file goes there as it arrives, through the file's buffer; an attempt that
// fails rewinds the file to where it started.
class FileBody : public QX::BodySink {
public:
    FileBody(const QXSDK::HTTPClient& client, OutputFile& file) : BodySink(client), m_file(file) {}
    void Append(const void* data, std::uint32_t size) override {
        // A failed write is kept by the file and reported when it is committed.
        m_file.Stream().write(static_cast<const char*>(data), static_cast<std::streamsize>(size));
        m_size.store(m_size.load(std::memory_order_relaxed) + size, std::memory_order_release);
    }
    void Truncate(std::uint64_t size) override {
        m_file.Rewind(size);
        m_size.store(size, std::memory_order_release);
    }
    std::uint64_t Size() const override { return m_size.load(std::memory_order_acquire); }

private:
    OutputFile& m_file;
    std::atomic<std::uint64_t> m_size{0};
};

// Runs the request on a worker while this thread draws progress for long bodies (shown once a
// second has passed; the body's total is not known to the client, so the bar counts bytes). The
// wait ends the moment the request does, so drawing adds nothing to the run.
bool RunWithProgress(CliClient& client, bool showProgress) {
    std::promise<bool> result;
    std::future<bool> finished = result.get_future();
    std::thread worker([&] { result.set_value(client.Execute()); });
    std::unique_ptr<Progress> progress;
    auto start = std::chrono::steady_clock::now();
    while (finished.wait_for(std::chrono::milliseconds(100)) != std::future_status::ready) {
        if (showProgress && !progress &&
            std::chrono::steady_clock::now() - start > std::chrono::seconds(1)) {
            progress = std::make_unique<Progress>("receiving", 0);
        }
        if (progress) {
            progress->Update(client.Received());
        }
    }
    worker.join();
    if (progress) {
        progress->Update(client.Received());
    }
    return finished.get();
}

int Fetch(Global& global, const HttpSettings& settings) {
    std::uint32_t address = 0;
    if (!ParseAddress(settings.address, address)) {
        return Error("http: bad address \"" + settings.address + "\"");
    }
    if (settings.user.empty() != settings.password.empty()) {
        return Error("http: give --user and --password together");
    }
    // The file is replaced only by a body that came whole and was not a refusal (see OutputFile).
    std::unique_ptr<OutputFile> file;
    if (!settings.output.empty()) {
        file = std::make_unique<OutputFile>(settings.output);
    }
    CliClient client(address, settings);
    // A file that cannot be rewound (no regular file, written in place) gets the body only once
    // it came whole, from memory, so that no failed attempt's bytes reach it.
    std::unique_ptr<FileBody> body;
    if (file && !settings.text && file->Rewindable()) {
        body = std::make_unique<FileBody>(client, *file);
    }
    bool ok = RunWithProgress(client, !settings.text && !global.json);
    std::uint32_t serverStatus = client.GetServerStatus();
    std::uint32_t httpStatus = client.GetHttpStatus();
    std::uint64_t bytes = settings.text ? client.Text().size() : client.Received();
    bool refused = serverStatus >= 400;
    // With --json the document owns standard output, so the body is written only to -o. A body
    // that went to the file as it came leaves the stream empty, and this only checks the file.
    bool writeBody = ok && !settings.text && !(global.json && !file) && !(file && refused);
    if (writeBody && !client.DrainTo(file ? file->Stream() : std::cout)) {
        return Error("http: cannot write the body");
    }
    std::string reason;
    if (writeBody && file && !file->Commit(reason)) {
        return Error("http: cannot write " + settings.output + ": " + reason);
    }
    client.Close();
    if (global.json) {
        nlohmann::json report = {{"address", settings.address},
                                 {"path", settings.path},
                                 {"ok", ok && !refused},
                                 {"httpStatus", httpStatus},
                                 {"serverStatus", serverStatus},
                                 {"lastError", client.GetLastError()},
                                 {"errorText", client.ErrorText()},
                                 {"bytes", bytes}};
        if (settings.text) {
            report["text"] = client.Text();
        }
        PrintJson(std::cout, report);
    } else if (ok && settings.text) {
        std::cout << client.Text();
    }
    if (!ok || refused) {
        if (!global.json) {
            Warn("http: " + std::string(ok ? "refused" : "failed") + ": server status " +
                 std::to_string(serverStatus) + ", last error " +
                 std::to_string(client.GetLastError()) + " (" + client.ErrorText() + ")");
        }
        return 1;
    }
    if (!global.json && !settings.output.empty()) {
        std::cerr << "saved " << bytes << " bytes to " << Shorten(settings.output) << "\n";
    }
    return 0;
}

// The demo's web step: the first demo camera's page, with its credentials.
int DemoWebPage(DemoContext& context) {
    auto& web = context.simulator.Add(
        std::make_unique<QXSim::WebServer>(context.simulator, QXSim::WebOptions{}));
    std::string error;
    if (!context.simulator.Start(error)) {
        // Port 80 needs root (or the bind capability) and must be free on the cameras' addresses.
        context.report["web"] = {{"skipped", error}};
        if (!context.global.json) {
            std::cout << "skipped: " << error << "\n";
        }
        web.Stop();
        return 0;
    }
    const QXSim::SimCamera& camera = context.simulator.Cameras().front();
    HttpSettings settings;
    settings.address = QXSim::AddressText(camera.address);
    settings.path = "/index.html";
    settings.user = camera.user;
    settings.password = camera.password;
    settings.text = true;
    CliClient client(camera.address, settings);
    bool ok = client.Execute();
    std::uint32_t serverStatus = client.GetServerStatus();
    if (context.global.json) {
        context.report["web"] = {{"address", settings.address},
                                 {"path", settings.path},
                                 {"serverStatus", serverStatus},
                                 {"text", client.Text()}};
    } else {
        std::cout << "GET http://" << settings.address << settings.path << " as " << settings.user
                  << ": " << serverStatus << "\n"
                  << client.Text();
    }
    client.Close();
    web.Stop();
    return ok && serverStatus == 200 ? 0 : 1;
}

}  // namespace

void AddHttpCommands(CLI::App& app, Global& global) {
    auto settings = std::make_shared<HttpSettings>();
    CLI::App* http = app.add_subcommand(
        "http", "GET a page from a camera's web server (port 80), as text or bytes");
    http->add_option("address", settings->address, "The camera's IPv4 address")
        ->required()
        ->check(CheckIPv4);
    http->add_option("path", settings->path, "The path, sent exactly as given")->required();
    http->add_option("--user", settings->user, "Basic user name (with --password)");
    http->add_option("--password", settings->password, "Basic password (with --user)");
    http->add_option("-o,--output", settings->output,
                     "Save the body to this file; replaced only when the page came")
        ->check(NotEmpty("file name"));
    http->add_flag("--text", settings->text,
                   "Read only the first block of the body, as text (at most 2047 characters)");
    http->footer(
        R"(The camera is pinged first (300 ms); two attempts are made. Credentials that work are
remembered for the camera while the program runs. Exit code 0 when the page came, 1 when the
camera refused (status 400 or more) or the request failed, 2 on a usage or system error.
With -o the body goes to a temporary file beside FILE as it arrives and is renamed into
place when it came whole; otherwise it is gathered in memory before it is written.

Example:
  qxnet http 127.0.1.1 /index.html --user admin --password admin --text
  qxnet http 127.0.1.1 /gen/1000000 -o body.bin)");
    http->callback(Action(global, [&global, settings] { return Fetch(global, *settings); }));

    AddDemoStep("Web page of a camera (HTTP GET with credentials)", DemoWebPage);
}

}  // namespace QXCli
