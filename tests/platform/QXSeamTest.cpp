// The platform's seams share one shape: Current() is what is in place, Set(next) returns what it
// replaced (null for the platform's own) and Set(nullptr) restores the platform's.
#include <gtest/gtest.h>

#include "qxnet/platform/QXHttp.h"
#include "qxnet/platform/QXIcmp.h"
#include "qxnet/platform/QXNetInfo.h"
#include "qxnet/platform/QXSocket.h"
#include "tests/support/QXFakeHttpTransport.h"
#include "tests/support/QXFakeNetInfo.h"
#include "tests/support/QXScriptedSockets.h"

namespace {

// installed is in place when called, and again on return.
template <class Interface>
void ExpectSeamShape(Interface& installed) {
    EXPECT_EQ(&Interface::Current(), &installed);
    EXPECT_EQ(Interface::Set(nullptr), &installed);
    EXPECT_NE(&Interface::Current(), &installed);
    EXPECT_EQ(Interface::Set(&installed), nullptr);
    EXPECT_EQ(&Interface::Current(), &installed);
}

TEST(Seams, EveryOneHasTheSameShape) {
    QX::ScriptedSocketBackend sockets;
    sockets.Install();
    ExpectSeamShape<QX::SocketBackend>(sockets);

    QXTest::FakeNetInfo net;
    ExpectSeamShape<QX::NetInfoSource>(net);

    QX::IcmpBackend icmp;
    QX::IcmpBackend::Set(&icmp);
    ExpectSeamShape(icmp);
    QX::IcmpBackend::Set(nullptr);

    QXTest::FakeHttpTransport http;
    ExpectSeamShape<QX::HttpTransport>(http);
}

}  // namespace
