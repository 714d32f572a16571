#pragma once

#include <string>

namespace QXSim {

// One service of the simulated cameras (discovery responder, TFTP server, mDNS responder, web
// server). Each runs on threads of its own between Start and Stop; Stop joins them and closes
// every socket, and is safe to call twice.
class Service {
public:
    virtual ~Service() = default;
    // Returns false with a one-line reason when the service cannot start (a port taken, say).
    virtual bool Start(std::string& error) = 0;
    virtual void Stop() = 0;
};

}  // namespace QXSim
