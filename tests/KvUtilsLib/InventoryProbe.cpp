// Runs the driver check or the enumeration where the root tests set up the machine (inside a
// network namespace, with or without the driver node) and prints what it found, one fact a line.
//
//   InventoryProbe driver <adapter>
//   InventoryProbe inventory none|link|fake:<adapter or *>:<version>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "KvTransportLayerLib/Network/LinkEnabled.h"
#include "KvUtilsLib/Network/System.h"

using KvTransportLayerLib::Network::LinkEnabled;
using KvUtilsLib::Network::IDriverEnabled;
using KvUtilsLib::Network::Interface;
using KvUtilsLib::Network::System;
using ZrUtilsLib::Result;

namespace {

// Reports the driver on one adapter (or on all with "*") with a fixed version.
class FakeDriver : public IDriverEnabled {
public:
    FakeDriver(std::string adapter, std::string version)
        : mAdapter(std::move(adapter)), mVersion(std::move(version)) {}
    Result Open() override { return Result(ZrUtilsLib::OK); }
    Result Close() override { return Result(ZrUtilsLib::OK); }
    Result IsDriverEnabled(const char* adapterName, bool& enabled) override {
        enabled = mAdapter == "*" || mAdapter == adapterName;
        return Result(ZrUtilsLib::OK);
    }
    Result GetDriverVersion(ZrUtilsLib::String& version) override {
        version = mVersion.c_str();
        return Result(ZrUtilsLib::OK);
    }

private:
    std::string mAdapter;
    std::string mVersion;
};

int ProbeDriver(const char* adapter) {
    LinkEnabled link;
    bool enabled = false;
    std::printf("open=%u\n", link.Open().GetCode());
    link.IsDriverEnabled(adapter, enabled);
    std::printf("enabled=%d\n", enabled);
    link.Close();
    enabled = !enabled;
    link.IsDriverEnabled(adapter, enabled);
    std::printf("after_close=%d\n", enabled);

    LinkEnabled fresh;
    bool installed = false;
    Result result = System::IsKOVAVeloxInstalled(&fresh, adapter, installed);
    std::printf("installed_result=%u\ninstalled=%d\n", result.GetCode(), installed);

    ZrUtilsLib::String version("unchanged");
    result = fresh.GetDriverVersion(version);
    std::printf("version_result=%u\nversion=%s\n", result.GetCode(), version.GetAscii());
    return 0;
}

std::unique_ptr<IDriverEnabled> MakeChecker(const std::string& kind) {
    if (kind == "link") {
        return std::make_unique<LinkEnabled>();
    }
    if (kind.compare(0, 5, "fake:") == 0) {
        size_t colon = kind.find(':', 5);
        if (colon != std::string::npos) {
            return std::make_unique<FakeDriver>(kind.substr(5, colon - 5), kind.substr(colon + 1));
        }
    }
    return nullptr;
}

int ProbeInventory(const std::string& kind) {
    std::unique_ptr<IDriverEnabled> checker = MakeChecker(kind);
    if (!checker && kind != "none") {
        std::fprintf(stderr, "unknown checker %s\n", kind.c_str());
        return 2;
    }
    System system(checker.get());
    std::printf("count=%u\n", system.GetInterfaceCount());
    for (unsigned int i = 0; i < system.GetInterfaceCount(); ++i) {
        const Interface* record = system.GetInterface(i);
        std::printf("interface\t%s\t%s\t%s\t%s\t%u\t%s\t%s\n", record->GetName().c_str(),
                    record->GetID().c_str(), record->GetMACAddress().c_str(),
                    record->GetDescription().c_str(), static_cast<unsigned>(record->GetType()),
                    record->GetDefaultGateway().c_str(), record->GetDriverVersion().c_str());
        for (const auto& configuration : record->GetIPConfigurations()) {
            std::printf("config\t%s\t%s\n", configuration.Address.c_str(),
                        configuration.SubnetMask.c_str());
        }
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::strcmp(argv[1], "driver") == 0) {
        return ProbeDriver(argv[2]);
    }
    if (argc == 3 && std::strcmp(argv[1], "inventory") == 0) {
        return ProbeInventory(argv[2]);
    }
    std::fprintf(stderr, "usage: %s driver <adapter> | inventory none|link|fake:<adapter>:<v>\n",
                 argv[0]);
    return 2;
}
