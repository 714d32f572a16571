#pragma once

// What `qxnet discover` (without --address/--local) and `qxnet watch` share: the scanner's scope
// options and how its records and failures are shown.

#include <CLI/CLI.hpp>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "qxnet/scan/QXCameraScanner.h"

namespace QXCli {

struct ScanOptions {
    std::vector<std::string> interfaces;
    bool loopback = false;
    // Neither or both: both methods.
    bool broadcast = false;
    bool mdns = false;
    int port = QXSDK::CameraScanner::DefaultPort;
    std::vector<std::uint8_t> request;  // empty: the scanner's default
};

// Adds --interface (repeatable), --loopback, --broadcast and --mdns to a command.
void AddScanOptions(CLI::App* command, ScanOptions& options);
void ConfigureScanner(QXSDK::CameraScanner& scanner, const ScanOptions& options);

extern const std::vector<std::string> kScanHeaders;
std::vector<std::string> ScanRow(const QXSDK::ScannedCamera& camera);
// mac, ip, interfaces, methods, flags, model, firmware, and each method's own record.
nlohmann::json ScanJson(const QXSDK::ScannedCamera& camera);
nlohmann::json FailuresJson(const std::vector<QXSDK::CameraScanner::Failure>& failures);
// One line per failure: "skipped NAME (ADDRESS) for METHOD: TEXT".
std::vector<std::string> FailureLines(const std::vector<QXSDK::CameraScanner::Failure>& failures);
// The message for a scanner result that is an error (no interface, no usable socket), or "".
std::string ScanError(int result);

}  // namespace QXCli
