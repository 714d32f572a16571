// Lets the live-server tests run on Linux without a server started beforehand: unless
// QXNET_HTTP_LIVE_SERVER already names one, a namespace of the suite's own gets lighttpd on
// 127.0.2.1 (tests/http/start_lighttpd.sh), and the main thread, which runs the tests, enters it
// for the whole run. Without namespaces (not root) the tests skip as they do without a server.

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <sstream>
#include <string>
#include <thread>

#include "tests/support/QXNetNamespace.h"

namespace {

class LighttpdNamespace : public ::testing::Environment {
public:
    void SetUp() override {
        const char* named = std::getenv("QXNET_HTTP_LIVE_SERVER");
        if ((named != nullptr && *named != 0) || !QXTest::NetNamespace::Available() ||
            QXTest::Shell("command -v lighttpd >/dev/null && id www-data >/dev/null 2>&1") != 0) {
            return;
        }
        m_ns = std::make_unique<QXTest::NetNamespace>("qxlig");
        ASSERT_TRUE(m_ns->Valid());
        std::istringstream started(m_ns->Capture("sh " QXNET_LIGHTTPD_SCRIPT " 127.0.2.1"));
        started >> m_pid >> m_dir;
        ASSERT_GT(m_pid, 0) << "lighttpd did not start";
        m_home = open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);
        int inside = open(("/run/netns/" + m_ns->Name()).c_str(), O_RDONLY | O_CLOEXEC);
        ASSERT_GE(m_home, 0);
        ASSERT_GE(inside, 0);
        ASSERT_EQ(setns(inside, CLONE_NEWNET), 0);
        close(inside);
        setenv("QXNET_HTTP_LIVE_SERVER", "127.0.2.1", 1);
    }

    void TearDown() override {
        if (m_home >= 0) {
            setns(m_home, CLONE_NEWNET);
            close(m_home);
        }
        if (m_pid > 0) {
            kill(m_pid, SIGTERM);
            for (int i = 0; i < 200 && kill(m_pid, 0) == 0; ++i) {
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
        }
        m_ns.reset();
        if (!m_dir.empty()) {
            QXTest::Shell("rm -rf " + m_dir);
        }
    }

private:
    std::unique_ptr<QXTest::NetNamespace> m_ns;
    pid_t m_pid = -1;
    std::string m_dir;
    int m_home = -1;
};

::testing::Environment* const g_lighttpd =
    ::testing::AddGlobalTestEnvironment(new LighttpdNamespace);

}  // namespace
