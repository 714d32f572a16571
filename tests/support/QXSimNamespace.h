#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "sim/QXSimulator.h"
#include "tests/support/QXNetNamespace.h"

namespace QXTest {

// Simulated cameras in a namespace of the test's own, where ports 80 and 5353 are free.
class SimNamespaceTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!NetNamespace::Available()) {
            GTEST_SKIP() << "network namespaces need root and the ip tool";
        }
        ns = std::make_unique<NetNamespace>("qxsimns");
        ASSERT_TRUE(ns->Valid());
        Prepare();
    }
    virtual void Prepare() {}
    void TearDown() override {
        if (simulator) {
            ns->Run([&] { simulator->Stop(); });
        }
    }
    // Starts the simulator of the cameras, with the services add gives it, inside the namespace.
    void StartSimulator(std::vector<QXSim::SimCamera> cameras,
                        const std::function<void(QXSim::Simulator&)>& add) {
        simulator = std::make_unique<QXSim::Simulator>(std::move(cameras));
        add(*simulator);
        std::string error;
        bool started = false;
        ns->Run([&] { started = simulator->Start(error); });
        ASSERT_TRUE(started) << error;
    }

    std::unique_ptr<NetNamespace> ns;
    std::unique_ptr<QXSim::Simulator> simulator;
};

}  // namespace QXTest
