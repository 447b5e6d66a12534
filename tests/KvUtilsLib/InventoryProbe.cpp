// The enumeration with the real driver check: name|id|mac|description|type|gateway|version|...
#include <cstdio>

#include "KvTransportLayerLib/Network/LinkEnabled.h"
#include "KvUtilsLib/Network/System.h"

int main() {
    KvTransportLayerLib::Network::LinkEnabled driver;
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
