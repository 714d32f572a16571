#pragma once

#include <linux/capability.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace QXTest {

// Takes CAP_NET_ADMIN from this thread only (Linux keeps them per thread); false on failure.
inline bool DropNetAdminOnThisThread() {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};  // pid 0: this thread
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
    if (syscall(SYS_capget, &header, data) != 0) {
        return false;
    }
    data[CAP_TO_INDEX(CAP_NET_ADMIN)].effective &= ~CAP_TO_MASK(CAP_NET_ADMIN);
    return syscall(SYS_capset, &header, data) == 0;
}

}  // namespace QXTest
