// Prints the enumeration, name|id|mac|description|type|gateway|version|addresses, answering the
// driver's version request (--wrap=ioctl) with KV_FAKE_VELOX_VERSION, unended as a careless one.
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "KvTransportLayerLib/Network/LinkEnabled.h"
#include "KvUtilsLib/Network/System.h"

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

int main() {
    LinkEnabled driver;
    KvUtilsLib::Network::System system(&driver);
    const unsigned int count = system.GetInterfaceCount();
    for (unsigned int i = 0; i < count; ++i) {
        const KvUtilsLib::Network::Interface* record = system.GetInterface(i);
        std::printf("%s|%s|%s|%s|%u|%s|%s|", record->GetName().c_str(), record->GetID().c_str(),
                    record->GetMACAddress().c_str(), record->GetDescription().c_str(),
                    static_cast<unsigned>(record->GetType()), record->GetDefaultGateway().c_str(),
                    record->GetDriverVersion().c_str());
        const char* separator = "";
        for (const auto& configuration : record->GetIPConfigurations()) {
            std::printf("%s%s/%s", separator, configuration.Address.c_str(),
                        configuration.SubnetMask.c_str());
            separator = ",";
        }
        std::printf("\n");
    }
    std::printf("past the end: %s\n", system.GetInterface(count) == nullptr ? "null" : "a record");
    return 0;
}
