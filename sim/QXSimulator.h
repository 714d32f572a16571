#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "sim/QXSimCamera.h"
#include "sim/QXSimService.h"

namespace QXSim {

// Any number of simulated cameras and the services that play them on the network. Services are
// added with Add and read the cameras through Cameras(); the camera list must only be changed
// while no service runs, because the service threads read it without a lock.
//
//   QXSim::Simulator sim(QXSim::DemoCameras());
//   auto& discovery = sim.Add(std::make_unique<QXSim::DiscoveryResponder>(sim, options));
//   std::string error;
//   if (!sim.Start(error)) { ... }
class Simulator {
public:
    Simulator() = default;
    explicit Simulator(std::vector<SimCamera> cameras);
    // Stops every service.
    ~Simulator();
    Simulator(const Simulator&) = delete;
    Simulator& operator=(const Simulator&) = delete;

    std::vector<SimCamera>& Cameras() { return m_cameras; }
    const std::vector<SimCamera>& Cameras() const { return m_cameras; }

    // Takes the service over and returns it, so the caller can reach its settings and counters.
    // It runs from the next Start on.
    template <class T>
    T& Add(std::unique_ptr<T> service) {
        T& added = *service;
        m_services.push_back(std::move(service));
        return added;
    }

    // Starts, in the order they were added, the services that do not run yet, so that a service
    // added to a running simulator joins with a second Start. Stops at the first that fails and
    // returns false with its one-line reason; the services started before keep running until Stop.
    bool Start(std::string& error);
    // Stops every running service, the last added first. Safe to call twice.
    void Stop();
    std::size_t RunningServices() const { return m_running; }

private:
    std::vector<SimCamera> m_cameras;
    std::vector<std::unique_ptr<Service>> m_services;
    std::size_t m_running = 0;
};

// The kit's MAC prefix. A camera's mDNS text names only the three low octets of its MAC and
// readers put this prefix in front, so the cameras played here carry it in their discovery
// answers too: both methods then name each camera alike.
constexpr std::uint64_t kMacPrefix = 0x0E1F2A000000;

// A handful of cameras for demos and tests, at 127.0.1.1 and up (every 127/8 address is the
// loopback's, so services can bind each camera's own address): blocks 0xCE, 0xCF, 0xD0 and one
// camera without a block; MACs 0e:1f:2a:33:44:01 and up.
std::vector<SimCamera> DemoCameras();

// count cameras with distinct MACs (0e:1f:2a:51:58:00 and up) and consecutive
// addresses from firstAddress (host order); block versions rotate none, 0xCE, 0xCF, 0xD0, and
// firmware, model, enclosure and features vary with seed, reproducibly.
std::vector<SimCamera> GenerateCameras(std::size_t count, std::uint32_t firstAddress = 0x7F000101,
                                       std::uint32_t seed = 1);

// Reads one camera from its text form: key=value pairs separated by blanks, for instance
//   mac=02:11:22:33:44:55 ip=127.0.1.5 fw=0x0102 model=2000 ext=12 enclosure=3 features=0x00ff
//   block=cf byte36=1 name=QX2000 user=admin password=secret
// mac and ip are required; block takes none, ce, cf or d0 (default d0); features must fit what
// the block announces (none: 0, ce: 0x00ff, cf: 0x7fff, d0: 0xffff); numbers are decimal or
// 0x-hexadecimal. Returns false with a one-line reason.
bool ParseCamera(const std::string& text, SimCamera& camera, std::string& error);
// Reads a camera file: one camera per line in the form above; blank lines and lines starting
// with # are skipped. Returns false with the file name, line number and reason.
bool LoadCameras(const std::string& path, std::vector<SimCamera>& cameras, std::string& error);

// "02:11:22:33:44:55" for a MAC, and back (':' or '-' between the octets).
std::string MacToText(std::uint64_t mac);
bool TextToMac(const std::string& text, std::uint64_t& mac);
// Dotted text of a host-order IPv4 address, and back.
std::string AddressText(std::uint32_t address);
bool TextToAddress(const std::string& text, std::uint32_t& address);

}  // namespace QXSim
