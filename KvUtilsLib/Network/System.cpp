#include "KvUtilsLib/Network/System.h"

#include <dirent.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "KvUtilsLib/Network/EthernetAddress.h"
#include "KvUtilsLib/Network/GatewayParser.h"
#include "KvUtilsLib/Network/IpAddress.h"
#include "ZrUtilsLib/Logger.h"

namespace KvUtilsLib {
namespace Network {

using ZrUtilsLib::Result;

namespace {

constexpr const char* LOOPBACK_NAME = "lo";
constexpr const char* BRIDGE_PREFIXES[] = {"virbr", "xenbr"};

class SocketHolder {
public:
    explicit SocketHolder(int descriptor) : mDescriptor(descriptor) {}
    ~SocketHolder() {
        if (mDescriptor >= 0) {
            close(mDescriptor);
        }
    }
    SocketHolder(const SocketHolder&) = delete;
    SocketHolder& operator=(const SocketHolder&) = delete;
    int Get() const { return mDescriptor; }

private:
    int mDescriptor;
};

// The interface-list request with the entry buffer it owns.
class NICList {
public:
    NICList() { std::memset(&mList, 0, sizeof(mList)); }
    ~NICList() { ReleaseNICInfo(&mList); }
    NICList(const NICList&) = delete;
    NICList& operator=(const NICList&) = delete;
    ifconf* Get() { return &mList; }
    // Entries the kernel filled, never more than the buffer holds.
    int FilledCount(int count) const {
        int filled = mList.ifc_len / static_cast<int>(sizeof(ifreq));
        return std::min(filled, count);
    }

private:
    ifconf mList;
};

struct AddressListDeleter {
    void operator()(ifaddrs* addresses) const { freeifaddrs(addresses); }
};
using AddressList = std::unique_ptr<ifaddrs, AddressListDeleter>;

struct DirectoryDeleter {
    void operator()(DIR* directory) const { closedir(directory); }
};

bool IsListed(const InterfaceList& list, const std::string& name) {
    return std::any_of(list.begin(), list.end(), [&name](const std::unique_ptr<Interface>& record) {
        return record->GetName() == name;
    });
}

bool IsBridgeName(const std::string& name) {
    for (const char* prefix : BRIDGE_PREFIXES) {
        if (name.compare(0, std::strlen(prefix), prefix) == 0) {
            return true;
        }
    }
    return false;
}

std::string AddressText(const sockaddr* address) {
    if (address == nullptr || address->sa_family != AF_INET) {
        return Interface::kNoAddress;
    }
    const auto* inet = reinterpret_cast<const sockaddr_in*>(address);
    return IpAddress(static_cast<unsigned int>(inet->sin_addr.s_addr)).GetString().GetAscii();
}

// Reads the hardware address text of adapter `name`; false when the file cannot be read or is
// longer than an address file can be.
bool ReadAddressFile(const std::string& name, std::string& text) {
    std::string path = std::string(System::CLASS_NET_DIR) + "/" + name + "/address";
    std::unique_ptr<FILE, int (*)(FILE*)> file(std::fopen(path.c_str(), "r"), std::fclose);
    if (!file) {
        return false;
    }
    char content[MAX_ADDRESS_FILE_SIZE + 1];
    size_t length = std::fread(content, 1, sizeof(content), file.get());
    if (std::ferror(file.get())) {
        return false;
    }
    return ExtractAddressText(content, length, text);
}

void SetGateway(const std::string& name, Interface* record) {
    GatewayParser parser(System::ROUTE_FILE);
    if (parser.ParseRoute().GetCode() != ZrUtilsLib::OK) {
        return;
    }
    std::string gateway = parser.Get(name);
    if (!gateway.empty()) {
        record->SetDefaultGateway(gateway);
    }
}

void SetDriverState(IDriverEnabled* driverEnabled, const std::string& name, Interface* record) {
    bool enabled = false;
    (void)driverEnabled->IsDriverEnabled(name.c_str(), enabled);
    if (!enabled) {
        return;
    }
    record->SetType(InterfaceTypeDriverEnabled);
    ZrUtilsLib::String version;
    if (driverEnabled->GetDriverVersion(version).GetCode() == ZrUtilsLib::OK) {
        record->SetDriverVersion(DotDriverVersion(version.GetAscii()));
    }
}

}  // namespace

System::System(IDriverEnabled* driverEnabled)
    : mDriverEnabled(driverEnabled), mLogger(ZrUtilsLib::Logger::Create("KvUtilsLib", nullptr, 0)) {
    if (mDriverEnabled != nullptr && mDriverEnabled->Open().GetCode() != ZrUtilsLib::OK) {
        (void)mDriverEnabled->Close();
    }
    RefreshInterfaces();
}

System::~System() {
    FreeInterfaces();
    if (mDriverEnabled != nullptr) {
        (void)mDriverEnabled->Close();
        mDriverEnabled = nullptr;
    }
    ZrUtilsLib::Logger::Free(mLogger);
}

void System::RefreshInterfaces() {
    FreeInterfaces();
    {
        SocketHolder socketHolder(socket(AF_INET, SOCK_DGRAM, 0));
        NICList list;
        int count = GetNICCount(socketHolder.Get(), list.Get());
        if (count <= 0 || !RetrieveNICInfo(socketHolder.Get(), list.Get(), count)) {
            return;
        }
        ifaddrs* rawAddresses = nullptr;
        if (getifaddrs(&rawAddresses) != 0) {
            return;
        }
        AddressList addresses(rawAddresses);
        int filled = list.FilledCount(count);
        for (int i = 0; i < filled; ++i) {
            ifreq* request = &list.Get()->ifc_req[i];
            if (IsListed(mInterfaces, GetInterfaceName(request))) {
                continue;
            }
            auto record = std::make_unique<Interface>();
            if (PopulateInterface(socketHolder.Get(), mDriverEnabled, request, addresses.get(),
                                  record.get())) {
                mInterfaces.push_back(std::move(record));
            }
        }
    }
    AddDisconnected(&mInterfaces);
    std::stable_sort(mInterfaces.begin(), mInterfaces.end(),
                     [](const std::unique_ptr<Interface>& a, const std::unique_ptr<Interface>& b) {
                         return SortInterfacePtrVector(a.get(), b.get());
                     });
}

void System::FreeInterfaces() {
    mInterfaces.clear();
}

unsigned int System::GetInterfaceCount() const {
    return static_cast<unsigned int>(mInterfaces.size());
}

Interface* System::GetInterface(unsigned int index) const {
    return index < mInterfaces.size() ? mInterfaces[index].get() : nullptr;
}

Result System::IsKOVAVeloxInstalled(IDriverEnabled* driver, const char* adapterName,
                                    bool& installed) {
    installed = false;
    if (driver == nullptr) {
        return Result(ZrUtilsLib::INVALID_PARAMETER);
    }
    Result opened = driver->Open();
    if (opened.GetCode() != ZrUtilsLib::OK) {
        return opened;
    }
    Result answer = driver->IsDriverEnabled(adapterName, installed);
    if (answer.GetCode() != ZrUtilsLib::OK) {
        installed = false;
    }
    (void)driver->Close();
    return answer;
}

int GetNICCount(int socket, ifconf* list) {
    std::memset(list, 0, sizeof(*list));
    if (ioctl(socket, SIOCGIFCONF, list) < 0) {
        return 0;
    }
    return list->ifc_len / static_cast<int>(sizeof(ifreq));
}

bool RetrieveNICInfo(int socket, ifconf* list, int count) {
    ReleaseNICInfo(list);
    list->ifc_req = new ifreq[count]();
    // The length is the buffer's own, so the kernel can never write past it.
    list->ifc_len = count * static_cast<int>(sizeof(ifreq));
    return ioctl(socket, SIOCGIFCONF, list) >= 0;
}

void ReleaseNICInfo(ifconf* list) {
    delete[] list->ifc_req;
    list->ifc_req = nullptr;
    list->ifc_len = 0;
}

std::string GetInterfaceName(const ifreq* request) {
    return std::string(request->ifr_name, strnlen(request->ifr_name, IFNAMSIZ));
}

bool PopulateInterface(int socket, IDriverEnabled* driverEnabled, ifreq* request,
                       ifaddrs* addresses, Interface* record) {
    std::string name = GetInterfaceName(request);
    if (name == LOOPBACK_NAME) {
        return false;
    }
    CreateAllIPConfigs(name, request, addresses, &record->GetIPConfigurations());
    if (IsBridgeName(name)) {
        return false;
    }
    ifreq hardware;
    std::memset(&hardware, 0, sizeof(hardware));
    std::memcpy(hardware.ifr_name, request->ifr_name, IFNAMSIZ);
    hardware.ifr_name[IFNAMSIZ - 1] = '\0';
    if (ioctl(socket, SIOCGIFHWADDR, &hardware) < 0) {
        return false;
    }
    char macText[EthernetAddress::TEXT_SIZE];
    // sa_data is a char array: passed as bytes, not as text.
    EthernetAddress(static_cast<const void*>(hardware.ifr_hwaddr.sa_data)).GetString(macText);
    record->SetID(macText, macText, name, name);
    SetGateway(name, record);
    if (driverEnabled != nullptr) {
        SetDriverState(driverEnabled, name, record);
    }
    return true;
}

bool CreateAllIPConfigs(const std::string& name, ifreq*, ifaddrs* addresses,
                        std::vector<IPConfiguration>* out) {
    for (ifaddrs* entry = addresses; entry != nullptr; entry = entry->ifa_next) {
        if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET ||
            entry->ifa_name == nullptr || name != entry->ifa_name) {
            continue;
        }
        out->push_back({AddressText(entry->ifa_addr), AddressText(entry->ifa_netmask)});
    }
    if (out->empty()) {
        out->push_back({Interface::kNoAddress, Interface::kNoAddress});
    }
    return true;
}

void AddDisconnected(InterfaceList* list) {
    std::unique_ptr<DIR, DirectoryDeleter> directory(opendir(System::CLASS_NET_DIR));
    if (!directory) {
        return;
    }
    while (dirent* entry = readdir(directory.get())) {
        std::string name = entry->d_name;
        if (name == "." || name == ".." || name == LOOPBACK_NAME || IsListed(*list, name)) {
            continue;
        }
        std::string address;
        if (!ReadAddressFile(name, address)) {
            continue;
        }
        auto record = std::make_unique<Interface>();
        record->SetID(address, address, name, name);
        record->AddIPConfiguration({Interface::kNoAddress, Interface::kNoAddress});
        list->push_back(std::move(record));
    }
}

bool ExtractAddressText(const char* content, size_t length, std::string& text) {
    if (length > MAX_ADDRESS_FILE_SIZE) {
        return false;
    }
    text.clear();
    for (size_t i = 0; i < length; ++i) {
        if (content[i] >= '0' && content[i] <= 'z') {
            text.push_back(content[i]);
        }
    }
    return true;
}

std::string DotDriverVersion(const std::string& version) {
    static constexpr const char SEPARATOR[] = ", ";
    std::string dotted;
    size_t start = 0;
    for (size_t found = version.find(SEPARATOR); found != std::string::npos;
         found = version.find(SEPARATOR, start)) {
        dotted.append(version, start, found - start).push_back('.');
        start = found + sizeof(SEPARATOR) - 1;
    }
    dotted.append(version, start, std::string::npos);
    return dotted;
}

}  // namespace Network
}  // namespace KvUtilsLib
