#pragma once

namespace QXTest {

// Linux keeps capabilities per thread: this takes CAP_NET_ADMIN out of the calling thread's
// effective set, so code on it runs as an unprivileged process would for the network
// administration checks. False when the thread could not be changed.
bool DropNetAdminOnThisThread();

}  // namespace QXTest
