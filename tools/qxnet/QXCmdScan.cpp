#include "tools/qxnet/QXCmdScan.h"

#include "qxnet/common/QXAddress.h"
#include "qxnet/common/QXResult.h"
#include "sim/QXSimulator.h"
#include "tools/qxnet/QXCli.h"

namespace QXCli {

namespace {

std::string Join(const std::vector<std::string>& parts, const char* separator) {
    std::string text;
    for (const std::string& part : parts) {
        text += (text.empty() ? "" : separator) + part;
    }
    return text;
}

std::vector<std::string> Names(const std::vector<std::wstring>& names) {
    std::vector<std::string> narrow;
    for (const std::wstring& name : names) {
        narrow.push_back(Narrow(name));
    }
    return narrow;
}

// The model as people read it: the mDNS model name, else the broadcast model number.
std::string Model(const QXSDK::ScannedCamera& camera) {
    if (camera.hasMdns && !camera.mdns.m_model.empty()) {
        return camera.mdns.m_model;
    }
    const QXSDK::CameraData& data = camera.broadcast;
    return std::to_string(data.extModel != 0 ? data.extModel : data.model);
}

std::string Firmware(const QXSDK::ScannedCamera& camera) {
    if (camera.hasMdns) {
        return std::to_string(camera.mdns.m_fwMajor) + "." + std::to_string(camera.mdns.m_fwMinor);
    }
    return std::to_string(camera.broadcast.fwVer);
}

std::string MethodName(unsigned method) {
    const std::vector<std::string> names = QXSDK::ScannedCamera::MethodNames(method);
    return names.empty() ? "interface" : names.front();
}

}  // namespace

const std::vector<std::string> kScanHeaders = {"MAC",   "IP",       "INTERFACE", "METHOD",
                                               "MODEL", "FIRMWARE", "FLAGS"};

void AddScanOptions(CLI::App* command, ScanOptions& options) {
    command->add_option("-i,--interface", options.interfaces,
                        "Scan only this interface (name or address; repeatable)");
    command->add_flag("--loopback", options.loopback, "Scan loopback (127.0.0.1) too");
    command->add_flag("--broadcast", options.broadcast, "Search by UDP broadcast only");
    command->add_flag("--mdns", options.mdns, "Search by mDNS only");
}

void ConfigureScanner(QXSDK::CameraScanner& scanner, const ScanOptions& options) {
    std::vector<std::wstring> names;
    for (const std::string& name : options.interfaces) {
        names.push_back(Widen(name));
    }
    scanner.SetInterfaceNames(names);
    scanner.SetLoopback(options.loopback);
    unsigned methods = 0;
    methods |= options.broadcast ? QXSDK::ScannedCamera::METHOD_BROADCAST : 0;
    methods |= options.mdns ? QXSDK::ScannedCamera::METHOD_MDNS : 0;
    scanner.SetMethods(methods != 0 ? methods
                                    : QXSDK::ScannedCamera::METHOD_BROADCAST |
                                          QXSDK::ScannedCamera::METHOD_MDNS);
    if (!options.request.empty()) {
        scanner.SetRequest(options.request, static_cast<std::uint16_t>(options.port));
    } else {
        const std::string request = QXSDK::CameraScanner::DefaultRequest;
        scanner.SetRequest(std::vector<std::uint8_t>(request.begin(), request.end()),
                           static_cast<std::uint16_t>(options.port));
    }
}

std::vector<std::string> ScanRow(const QXSDK::ScannedCamera& camera) {
    const std::string flags = Join(QXSDK::ScannedCamera::FlagNames(camera.flags), ",");
    return {QXSim::MacToText(camera.mac),
            Narrow(QX::AddressToText(camera.Address())),
            Join(Names(camera.interfaces), ","),
            Join(QXSDK::ScannedCamera::MethodNames(camera.methods), ","),
            Model(camera),
            Firmware(camera),
            flags.empty() ? "-" : flags};
}

nlohmann::json ScanJson(const QXSDK::ScannedCamera& camera) {
    nlohmann::json record = {
        {"mac", QXSim::MacToText(camera.mac)},
        {"ip", Narrow(QX::AddressToText(camera.Address()))},
        {"interfaces", Names(camera.interfaces)},
        {"methods", QXSDK::ScannedCamera::MethodNames(camera.methods)},
        {"flags", QXSDK::ScannedCamera::FlagNames(camera.flags)},
        {"model", Model(camera)},
        {"firmware", Firmware(camera)},
    };
    if (camera.hasBroadcast) {
        const QXSDK::CameraData& data = camera.broadcast;
        record["broadcast"] = {{"ip", Narrow(QX::AddressToText(data.ip))},
                               {"firmware", data.fwVer},
                               {"model", data.model},
                               {"extModel", data.extModel},
                               {"enclosure", data.enclosure},
                               {"features", data.features}};
    }
    if (camera.hasMdns) {
        const QXSDK::MDNSCameraData& data = camera.mdns;
        record["mdns"] = {
            {"ip", Narrow(QX::AddressToText(data.m_ip))},
            {"model", data.m_model},
            {"firmware", std::to_string(data.m_fwMajor) + "." + std::to_string(data.m_fwMinor)},
            {"pair", {data.m_pairFirst, data.m_pairSecond}},
            {"hex32", data.m_hex32},
            {"hex16", data.m_hex16}};
    }
    return record;
}

nlohmann::json FailuresJson(const std::vector<QXSDK::CameraScanner::Failure>& failures) {
    nlohmann::json list = nlohmann::json::array();
    for (const QXSDK::CameraScanner::Failure& failure : failures) {
        list.push_back({{"interface", Narrow(failure.interfaceName)},
                        {"address", Narrow(QX::AddressToText(failure.address))},
                        {"method", MethodName(failure.method)},
                        {"error", Narrow(failure.text)}});
    }
    return list;
}

std::vector<std::string> FailureLines(const std::vector<QXSDK::CameraScanner::Failure>& failures) {
    std::vector<std::string> lines;
    for (const QXSDK::CameraScanner::Failure& failure : failures) {
        lines.push_back("skipped " + Narrow(failure.interfaceName) + " (" +
                        Narrow(QX::AddressToText(failure.address)) + ") for " +
                        MethodName(failure.method) + ": " + Narrow(failure.text));
    }
    return lines;
}

std::string ScanError(int result) {
    const auto code = static_cast<std::uint32_t>(result);
    if (code == QX::ResultCode::NoNetworkDevice) {
        return "no interface to scan (none is up, or none has the name given)";
    }
    return code == QX::ResultCode::Unavailable
               ? "no interface could be used (see the skipped interfaces)"
               : "";
}

}  // namespace QXCli
