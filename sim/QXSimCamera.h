#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace QXSim {

// One simulated camera: what its services tell about it and what they serve. Addresses are host
// order (first octet most significant), the MAC holds its six octets in the low 48 bits.
struct SimCamera {
    std::uint64_t mac = 0;
    std::uint32_t address = 0;
    std::uint32_t firmware = 0;
    std::uint32_t model = 0;
    std::uint32_t extendedModel = 0;
    std::uint8_t byte36 = 0;
    std::uint32_t enclosure = 0;
    std::uint32_t features = 0;
    // Version of the extended block in discovery answers: 0 (none), 0xCE, 0xCF or 0xD0.
    std::uint8_t blockVersion = 0;
    // Opaque block bytes the discovery answer carries for the host (info20 uses only its first
    // two bytes with blocks 0xCE and 0xCF; info28 only exists in block 0xD0).
    std::array<std::uint8_t, 8> info12{};
    std::array<std::uint8_t, 8> info20{};
    std::array<std::uint8_t, 8> info28{};
    std::string modelName = "QX2000";
    // Web credentials (Basic); an empty user means the camera asks for none.
    std::string user = "admin";
    std::string password = "admin";
    // Files served by name (TFTP and web), given in memory.
    std::map<std::string, std::vector<std::uint8_t>> files;
};

}  // namespace QXSim
