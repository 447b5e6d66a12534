// Prints this machine's network adapters as the recorder's adapter prompt lists them, followed
// by what the inventory knows about each one.
#include <cstdio>

#include "KvTransportLayerLib/Network/LinkEnabled.h"
#include "KvUtilsLib/Network/System.h"

using KvTransportLayerLib::Network::LinkEnabled;
using KvUtilsLib::Network::Interface;
using KvUtilsLib::Network::InterfaceTypeDriverEnabled;
using KvUtilsLib::Network::System;

namespace {

void PrintPromptList(const System& system) {
    std::printf("\nThe following list of network adapter can be used.\n");
    for (unsigned int i = 0; i < system.GetInterfaceCount(); ++i) {
        const Interface* record = system.GetInterface(i);
        std::printf("( %d ) %s - %s\n", static_cast<int>(i), record->GetName().c_str(),
                    record->GetDescription().c_str());
    }
    std::printf("\n");
}

void PrintDetails(const Interface& record) {
    std::printf("%s\n", record.GetName().c_str());
    std::printf("    MAC address      %s\n", record.GetMACAddress().c_str());
    for (const auto& configuration : record.GetIPConfigurations()) {
        std::printf("    IPv4             %s / %s\n", configuration.Address.c_str(),
                    configuration.SubnetMask.c_str());
    }
    std::printf("    Default gateway  %s\n", record.GetDefaultGateway().c_str());
    if (record.GetType() == InterfaceTypeDriverEnabled) {
        std::printf(
            "    Kova Velox       enabled, version %s\n",
            record.GetDriverVersion().empty() ? "unknown" : record.GetDriverVersion().c_str());
    } else {
        std::printf("    Kova Velox       not enabled\n");
    }
}

}  // namespace

int main() {
    LinkEnabled driver;
    System system(&driver);
    PrintPromptList(system);
    if (system.GetInterfaceCount() == 0) {
        std::printf("No Kova Velox driver installed\n\n");
        return 0;
    }
    for (unsigned int i = 0; i < system.GetInterfaceCount(); ++i) {
        PrintDetails(*system.GetInterface(i));
    }
    return 0;
}
