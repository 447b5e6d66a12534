#pragma once

#include "KvUtilsLib/Network/IDriverEnabled.h"
#include "ZrUtilsLib/Result.h"
#include "ZrUtilsLib/String.h"

namespace KvTransportLayerLib {
namespace Network {

// The driver presence check: the "Kova Velox" driver counts as present for the whole machine
// when its device node can be opened for reading.
class LinkEnabled : public KvUtilsLib::Network::IDriverEnabled {
public:
    static constexpr const char* DEVICE_NODE = "/dev/kvVeloxForEthernet";
    static constexpr unsigned long VERSION_REQUEST = 0x803;
    static constexpr unsigned int VERSION_SIZE = 64;

    LinkEnabled() : mEnabled(false) {}
    ~LinkEnabled() override = default;

    // Always OK; only records whether the node could be opened.
    ZrUtilsLib::Result Open() override;
    ZrUtilsLib::Result Close() override;
    // The answer of the last Open, whatever the adapter.
    ZrUtilsLib::Result IsDriverEnabled(const char* adapterName, bool& enabled) override;
    // COM_ERROR when the node cannot be opened or the version request fails.
    ZrUtilsLib::Result GetDriverVersion(ZrUtilsLib::String& version) override;

private:
    bool mEnabled;
};

}  // namespace Network
}  // namespace KvTransportLayerLib
