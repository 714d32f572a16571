#include "sim/QXSimulator.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <random>
#include <sstream>
#include <type_traits>

namespace QXSim {

Simulator::Simulator(std::vector<SimCamera> cameras) : m_cameras(std::move(cameras)) {}

Simulator::~Simulator() {
    Stop();
}

bool Simulator::Start(std::string& error) {
    while (m_running < m_services.size()) {
        if (!m_services[m_running]->Start(error)) {
            return false;
        }
        ++m_running;
    }
    return true;
}

void Simulator::Stop() {
    while (m_running > 0) {
        m_services[--m_running]->Stop();
    }
}

namespace {

// Features each block version can announce: 8, 15 or 16 bits; none without a block.
std::uint32_t FeatureMask(std::uint8_t blockVersion) {
    switch (blockVersion) {
        case 0xCE:
            return 0x00FF;
        case 0xCF:
            return 0x7FFF;
        case 0xD0:
            return 0xFFFF;
        default:
            return 0;
    }
}

SimCamera MakeCamera(std::uint64_t mac, std::uint32_t address, std::uint8_t block,
                     std::uint32_t firmware, std::uint32_t model, std::uint32_t extModel,
                     std::uint32_t enclosure, std::uint32_t features) {
    SimCamera camera;
    camera.mac = mac;
    camera.address = address;
    camera.blockVersion = block;
    camera.firmware = firmware;
    camera.model = model;
    camera.extendedModel = block != 0 ? extModel : 0;
    camera.enclosure = block != 0 ? enclosure : 0;
    camera.features = features & FeatureMask(block);
    for (int i = 0; i < 8; ++i) {
        // Recognisable opaque bytes: the MAC's octets, so a mix-up between cameras shows.
        auto octet = static_cast<std::uint8_t>(mac >> (8 * (i % 6)));
        camera.info12[i] = octet;
        camera.info20[i] = static_cast<std::uint8_t>(octet ^ 0x20);
        camera.info28[i] = block == 0xD0 ? static_cast<std::uint8_t>(octet ^ 0x28) : 0;
    }
    if (block == 0xCE || block == 0xCF) {
        std::fill(camera.info20.begin() + 2, camera.info20.end(), 0);
    }
    if (block == 0) {
        camera.info12 = {};
        camera.info20 = {};
    }
    return camera;
}

bool ParseNumber(const std::string& text, std::uint64_t& value) {
    int base = 10;
    std::size_t start = 0;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        start = 2;
    }
    const char* first = text.data() + start;
    const char* last = text.data() + text.size();
    auto [end, ec] = std::from_chars(first, last, value, base);
    return ec == std::errc() && end == last && first != last;
}

// The numeric keys of a camera's text: the largest value each takes and where it goes.
struct NumericKey {
    const char* key;
    std::uint64_t max;
    void (*store)(SimCamera& camera, std::uint64_t value);
};

template <auto Field>
void Store(SimCamera& camera, std::uint64_t value) {
    camera.*Field = static_cast<std::remove_reference_t<decltype(camera.*Field)>>(value);
}

const NumericKey kNumericKeys[] = {
    {"fw", 0xFFFF, Store<&SimCamera::firmware>},
    {"model", 0xFFFFFFFF, Store<&SimCamera::model>},
    {"ext", 0xFFFFFFFF, Store<&SimCamera::extendedModel>},
    {"enclosure", 0xFF, Store<&SimCamera::enclosure>},
    {"features", 0xFFFF, Store<&SimCamera::features>},
    {"byte36", 0xFF, Store<&SimCamera::byte36>},
};

}  // namespace

std::vector<SimCamera> DemoCameras() {
    return {
        MakeCamera(kMacPrefix | 0x334401, 0x7F000101, 0xD0, 0x0312, 2150, 2151, 6, 0xB7FF),
        MakeCamera(kMacPrefix | 0x334402, 0x7F000102, 0xCF, 0x0301, 2140, 2141, 3, 0x2A3F),
        MakeCamera(kMacPrefix | 0x334403, 0x7F000103, 0xCE, 0x0207, 2020, 2021, 1, 0x00C5),
        MakeCamera(kMacPrefix | 0x334404, 0x7F000104, 0xD0, 0x0312, 2160, 0, 7, 0x0F0F),
        MakeCamera(kMacPrefix | 0x334405, 0x7F000105, 0, 0x0105, 1040, 0, 0, 0),
    };
}

std::vector<SimCamera> GenerateCameras(std::size_t count, std::uint32_t firstAddress,
                                       std::uint32_t seed) {
    static const std::uint8_t kBlocks[] = {0, 0xCE, 0xCF, 0xD0};
    std::mt19937 random(seed);
    std::vector<SimCamera> cameras;
    cameras.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
        std::uint8_t block = kBlocks[i % 4];
        auto firmware = static_cast<std::uint32_t>(0x0100 + random() % 0x0300);
        auto model = static_cast<std::uint32_t>(1000 + random() % 2000);
        auto enclosure = static_cast<std::uint32_t>(random() % 9);  // 8 is an unknown code
        auto features = static_cast<std::uint32_t>(random() & 0xFFFF);
        cameras.push_back(MakeCamera(kMacPrefix + 0x515800 + i,
                                     firstAddress + static_cast<std::uint32_t>(i), block, firmware,
                                     model, model + 1, enclosure, features));
        cameras.back().byte36 = static_cast<std::uint8_t>(i);
    }
    return cameras;
}

bool ParseCamera(const std::string& text, SimCamera& camera, std::string& error) {
    SimCamera parsed;
    parsed.blockVersion = 0xD0;
    bool haveMac = false;
    bool haveAddress = false;
    std::istringstream words(text);
    std::string word;
    while (words >> word) {
        auto equals = word.find('=');
        if (equals == std::string::npos) {
            error = "expected key=value, got \"" + word + "\"";
            return false;
        }
        std::string key = word.substr(0, equals);
        std::string value = word.substr(equals + 1);
        const auto numeric =
            std::find_if(std::begin(kNumericKeys), std::end(kNumericKeys),
                         [&](const NumericKey& known) { return key == known.key; });
        std::uint64_t number = 0;
        if (numeric != std::end(kNumericKeys)) {
            if (!ParseNumber(value, number) || number > numeric->max) {
                error = "bad value for " + key + ": \"" + value + "\"";
                return false;
            }
            numeric->store(parsed, number);
        } else if (key == "mac") {
            if (!TextToMac(value, parsed.mac)) {
                error = "bad MAC \"" + value + "\"";
                return false;
            }
            haveMac = true;
        } else if (key == "ip") {
            if (!TextToAddress(value, parsed.address)) {
                error = "bad IPv4 address \"" + value + "\"";
                return false;
            }
            haveAddress = true;
        } else if (key == "block") {
            if (value == "none") {
                parsed.blockVersion = 0;
            } else if (value == "ce" || value == "CE") {
                parsed.blockVersion = 0xCE;
            } else if (value == "cf" || value == "CF") {
                parsed.blockVersion = 0xCF;
            } else if (value == "d0" || value == "D0") {
                parsed.blockVersion = 0xD0;
            } else {
                error = "bad block \"" + value + "\" (none, ce, cf or d0)";
                return false;
            }
        } else if (key == "name") {
            parsed.modelName = value;
        } else if (key == "user") {
            parsed.user = value;
        } else if (key == "password") {
            parsed.password = value;
        } else {
            error = "unknown key \"" + key + "\"";
            return false;
        }
    }
    if (!haveMac || !haveAddress) {
        error = "a camera needs mac= and ip=";
        return false;
    }
    if ((parsed.features & ~FeatureMask(parsed.blockVersion)) != 0) {
        // The answer could not carry them; a silent cut would make the camera differ from its file.
        char mask[8];
        std::snprintf(mask, sizeof mask, "0x%04x", FeatureMask(parsed.blockVersion));
        error = std::string("features beyond what the block announces (") + mask + ")";
        return false;
    }
    camera = std::move(parsed);
    return true;
}

bool LoadCameras(const std::string& path, std::vector<SimCamera>& cameras, std::string& error) {
    std::ifstream file(path);
    if (!file) {
        error = path + ": cannot open";
        return false;
    }
    std::string line;
    int number = 0;
    while (std::getline(file, line)) {
        ++number;
        auto first = line.find_first_not_of(" \t\r");
        if (first == std::string::npos || line[first] == '#') {
            continue;
        }
        SimCamera camera;
        std::string reason;
        if (!ParseCamera(line, camera, reason)) {
            error = path + ":" + std::to_string(number) + ": " + reason;
            return false;
        }
        cameras.push_back(std::move(camera));
    }
    return true;
}

std::string MacToText(std::uint64_t mac) {
    char text[18];
    std::snprintf(
        text, sizeof text, "%02x:%02x:%02x:%02x:%02x:%02x",
        static_cast<unsigned>((mac >> 40) & 0xFF), static_cast<unsigned>((mac >> 32) & 0xFF),
        static_cast<unsigned>((mac >> 24) & 0xFF), static_cast<unsigned>((mac >> 16) & 0xFF),
        static_cast<unsigned>((mac >> 8) & 0xFF), static_cast<unsigned>(mac & 0xFF));
    return text;
}

bool TextToMac(const std::string& text, std::uint64_t& mac) {
    if (text.size() != 17) {
        return false;
    }
    std::uint64_t value = 0;
    for (int i = 0; i < 6; ++i) {
        if (i > 0 && text[i * 3 - 1] != ':' && text[i * 3 - 1] != '-') {
            return false;
        }
        unsigned octet = 0;
        const char* first = text.data() + i * 3;
        auto [end, ec] = std::from_chars(first, first + 2, octet, 16);
        if (ec != std::errc() || end != first + 2) {
            return false;
        }
        value = (value << 8) | octet;
    }
    mac = value;
    return true;
}

std::string AddressText(std::uint32_t address) {
    return std::to_string(address >> 24) + "." + std::to_string((address >> 16) & 0xFF) + "." +
           std::to_string((address >> 8) & 0xFF) + "." + std::to_string(address & 0xFF);
}

bool TextToAddress(const std::string& text, std::uint32_t& address) {
    std::uint32_t value = 0;
    const char* cursor = text.data();
    const char* last = text.data() + text.size();
    for (int i = 0; i < 4; ++i) {
        if (i > 0) {
            if (cursor == last || *cursor != '.') {
                return false;
            }
            ++cursor;
        }
        unsigned octet = 0;
        auto [end, ec] = std::from_chars(cursor, last, octet, 10);
        if (ec != std::errc() || end == cursor || end - cursor > 3 || octet > 255) {
            return false;
        }
        value = (value << 8) | octet;
        cursor = end;
    }
    if (cursor != last) {
        return false;
    }
    address = value;
    return true;
}

}  // namespace QXSim
