#include "platform/posix/privileges.h"

#include <linux/capability.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>

namespace {

// Where the dispatcher's thread stands: no such thread (a process without the
// dispatcher), not yet dropped, dropped, or failed with the errno held here.
constexpr int NO_CONTROL_THREAD = -1;
constexpr int CONTROL_THREAD_PENDING = -2;
std::atomic<int> ControlThreadDrop{NO_CONTROL_THREAD};

// Empty permitted, effective and inheritable sets; the kernel empties the ambient set
// with them. The raw call: the C library has no wrapper and the program no libcap.
bool DropThreadCapabilities() {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    std::array<__user_cap_data_struct, _LINUX_CAPABILITY_U32S_3> none{};
    return syscall(SYS_capset, &header, none.data()) == 0;
}

}  // namespace

void ExpectControlThreadDrop() {
    ControlThreadDrop = CONTROL_THREAD_PENDING;
}

void DropControlThreadCapabilities() {
    ControlThreadDrop = DropThreadCapabilities() ? 0 : errno;
    ControlThreadDrop.notify_all();
}

bool DropCapabilities() {
    if (!DropThreadCapabilities()) {
        return false;
    }
    ControlThreadDrop.wait(CONTROL_THREAD_PENDING);
    const int outcome = ControlThreadDrop.load();
    if (outcome > 0) {
        errno = outcome;
        return false;
    }
    return true;
}
