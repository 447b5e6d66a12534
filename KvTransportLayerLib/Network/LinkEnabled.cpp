#include "KvTransportLayerLib/Network/LinkEnabled.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace KvTransportLayerLib {
namespace Network {

using ZrUtilsLib::Result;

Result LinkEnabled::Open() {
    mEnabled = false;
    int descriptor = open(DEVICE_NODE, O_RDONLY);
    if (descriptor >= 0) {
        mEnabled = true;
        close(descriptor);
    }
    return Result(ZrUtilsLib::OK);
}

Result LinkEnabled::Close() {
    return Result(ZrUtilsLib::OK);
}

Result LinkEnabled::IsDriverEnabled(const char*, bool& enabled) {
    enabled = mEnabled;
    return Result(ZrUtilsLib::OK);
}

Result LinkEnabled::GetDriverVersion(ZrUtilsLib::String& version) {
    int descriptor = open(DEVICE_NODE, O_RDONLY);
    if (descriptor < 0) {
        return Result(ZrUtilsLib::COM_ERROR);
    }
    char area[VERSION_SIZE] = {};
    int answer = ioctl(descriptor, VERSION_REQUEST, area);
    // The driver's text is not trusted to be terminated within the area.
    area[VERSION_SIZE - 1] = '\0';
    version = ZrUtilsLib::String(area);
    close(descriptor);
    return Result(answer == -1 ? ZrUtilsLib::COM_ERROR : ZrUtilsLib::OK);
}

}  // namespace Network
}  // namespace KvTransportLayerLib
