#pragma once

#include "ZrUtilsLib/Result.h"
#include "ZrUtilsLib/String.h"

namespace KvUtilsLib {
namespace Network {

// Question put to the packet-filter driver "Kova Velox" by the inventory and the command line,
// without either depending on the capture engine that implements it.
class IDriverEnabled {
public:
    virtual ~IDriverEnabled() = default;

    // Probe the driver; a missing driver is not a failure, it only reads as disabled.
    virtual ZrUtilsLib::Result Open() = 0;
    virtual ZrUtilsLib::Result Close() = 0;
    // Whether the driver serves `adapterName`, as found by the last Open.
    virtual ZrUtilsLib::Result IsDriverEnabled(const char* adapterName, bool& enabled) = 0;
    // The driver's own version text (for example "1, 2, 3, 4").
    virtual ZrUtilsLib::Result GetDriverVersion(ZrUtilsLib::String& version) = 0;
};

}  // namespace Network
}  // namespace KvUtilsLib
