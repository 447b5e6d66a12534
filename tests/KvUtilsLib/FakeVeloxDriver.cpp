// Test double of the "Kova Velox" driver's version request, for programs linked with
// -Wl,--wrap=ioctl: request 0x803 on a descriptor of /dev/kvVeloxForEthernet is answered with the
// text of KV_FAKE_VELOX_VERSION (copied into the 64-byte area without its NUL when it fills the
// area, as a careless driver would). Every other request goes to the system's ioctl.
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "KvTransportLayerLib/Network/LinkEnabled.h"

using KvTransportLayerLib::Network::LinkEnabled;

extern "C" int __real_ioctl(int descriptor, unsigned long request, ...);

namespace {

bool IsDriverNode(int descriptor) {
    char link[64];
    std::snprintf(link, sizeof(link), "/proc/self/fd/%d", descriptor);
    char target[256];
    ssize_t length = readlink(link, target, sizeof(target) - 1);
    if (length < 0) {
        return false;
    }
    target[length] = '\0';
    return std::strcmp(target, LinkEnabled::DEVICE_NODE) == 0;
}

}  // namespace

extern "C" int __wrap_ioctl(int descriptor, unsigned long request, ...) {
    va_list arguments;
    va_start(arguments, request);
    void* area = va_arg(arguments, void*);
    va_end(arguments);
    const char* version = std::getenv("KV_FAKE_VELOX_VERSION");
    if (request == LinkEnabled::VERSION_REQUEST && version != nullptr && IsDriverNode(descriptor)) {
        std::strncpy(static_cast<char*>(area), version, LinkEnabled::VERSION_SIZE);
        return 0;
    }
    return __real_ioctl(descriptor, request, area);
}
