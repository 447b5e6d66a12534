#pragma once

#include <ifaddrs.h>
#include <net/if.h>

#include <memory>
#include <string>
#include <vector>

#include "KvUtilsLib/Network/IDriverEnabled.h"
#include "KvUtilsLib/Network/Interface.h"
#include "ZrUtilsLib/Result.h"

namespace ZrUtilsLib {
class Logger;
}

namespace KvUtilsLib {
namespace Network {

using InterfaceList = std::vector<std::unique_ptr<Interface>>;

// The machine's network adapters, enumerated at construction and sorted by name. The records
// belong to the System: a pointer from GetInterface is valid until the next refresh.
class System {
public:
    static constexpr const char* ROUTE_FILE = "/proc/net/route";
    static constexpr const char* CLASS_NET_DIR = "/sys/class/net";

    // `driverEnabled` may be null (every adapter then reads as without driver); it is not owned,
    // it is opened here and closed by the destructor.
    explicit System(IDriverEnabled* driverEnabled);
    virtual ~System();
    System(const System&) = delete;
    System& operator=(const System&) = delete;

    void RefreshInterfaces();
    void CreateInterfaces() { RefreshInterfaces(); }
    void FreeInterfaces();

    unsigned int GetInterfaceCount() const;
    // Null when `index` is past the end.
    Interface* GetInterface(unsigned int index) const;

    // One-shot driver check: Open, IsDriverEnabled(adapterName), Close.
    static ZrUtilsLib::Result IsKOVAVeloxInstalled(IDriverEnabled* driver, const char* adapterName,
                                                   bool& installed);

private:
    IDriverEnabled* mDriverEnabled;
    InterfaceList mInterfaces;
    ZrUtilsLib::Logger* mLogger;
};

// The steps of the enumeration.
// Number of interface-list entries the kernel reports for the socket; 0 on failure.
int GetNICCount(int socket, ifconf* list);
// Fills `list` with a zeroed buffer of `count` entries and asks for the list again.
bool RetrieveNICInfo(int socket, ifconf* list, int count);
void ReleaseNICInfo(ifconf* list);
std::string GetInterfaceName(const ifreq* request);
// Fills `record` for the adapter of `request`; false when the adapter is not to be listed.
bool PopulateInterface(int socket, IDriverEnabled* driverEnabled, ifreq* request,
                       ifaddrs* addresses, Interface* record);
// Appends the IPv4 configurations of adapter `name` (0.0.0.0 / 0.0.0.0 when it has none).
bool CreateAllIPConfigs(const std::string& name, ifreq* request, ifaddrs* addresses,
                        std::vector<IPConfiguration>* out);
// Appends the adapters of /sys/class/net that `list` does not hold yet.
void AddDisconnected(InterfaceList* list);
// The hardware address text of an adapter's "address" file content: only the characters
// '0' to 'z' are kept. False when the content is longer than `MAX_ADDRESS_FILE_SIZE`.
constexpr size_t MAX_ADDRESS_FILE_SIZE = 128;
bool ExtractAddressText(const char* content, size_t length, std::string& text);
// The driver's version text with every ", " turned into ".".
std::string DotDriverVersion(const std::string& version);

}  // namespace Network
}  // namespace KvUtilsLib
