// The driver's version request on the node (-Wl,--wrap=ioctl) answers KV_FAKE_VELOX_VERSION,
// without its NUL when it fills the area, as a careless driver would.
#include <unistd.h>

#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <string>

#include "KvTransportLayerLib/Network/LinkEnabled.h"

using KvTransportLayerLib::Network::LinkEnabled;

extern "C" int __real_ioctl(int descriptor, unsigned long request, ...);

extern "C" int __wrap_ioctl(int descriptor, unsigned long request, ...) {
    va_list arguments;
    va_start(arguments, request);
    void* area = va_arg(arguments, void*);
    va_end(arguments);
    const char* version = std::getenv("KV_FAKE_VELOX_VERSION");
    const std::string link = "/proc/self/fd/" + std::to_string(descriptor);
    char target[256] = {};
    if (request == LinkEnabled::VERSION_REQUEST && version != nullptr &&
        readlink(link.c_str(), target, sizeof(target) - 1) > 0 &&
        std::strcmp(target, LinkEnabled::DEVICE_NODE) == 0) {
        std::strncpy(static_cast<char*>(area), version, LinkEnabled::VERSION_SIZE);
        return 0;
    }
    return __real_ioctl(descriptor, request, area);
}
