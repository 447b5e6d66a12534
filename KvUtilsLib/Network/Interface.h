#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace KvUtilsLib {
namespace Network {

enum InterfaceType : uint32_t {
    InterfaceTypeNoDriver = 0,       // no packet-filter driver enabled on the adapter
    InterfaceTypeDriverEnabled = 1,  // the packet-filter driver reports itself enabled
};

// One IPv4 address of an adapter with its subnet mask, both dotted decimal.
struct IPConfiguration {
    std::string Address;
    std::string SubnetMask;

    bool operator==(const IPConfiguration& other) const {
        return Address == other.Address && SubnetMask == other.SubnetMask;
    }
};

// The inventory's record of one network adapter; everything but the numbers is ready-to-print
// text.
class Interface {
public:
    static constexpr const char* kNoAddress = "0.0.0.0";

    Interface();
    Interface(const Interface& other);
    Interface& operator=(const Interface& other);
    virtual ~Interface();

    // Empty texts and configurations, DefaultGateway "0.0.0.0"; the numbers are kept.
    void Init();

    void SetID(const std::string& id, const std::string& macAddress, const std::string& name,
               const std::string& description);
    void SetType(InterfaceType type) { mType = type; }
    void SetMTU(unsigned int mtu) { mMTU = mtu; }
    void SetLinkSpeed(unsigned long speed) { mLinkSpeed = speed; }
    void SetSystemIndex(unsigned int index) { mSystemIndex = index; }
    void SetDefaultGateway(const std::string& gateway) { mDefaultGateway = gateway; }
    void SetDriverVersion(const std::string& version) { mDriverVersion = version; }
    void AddIPConfiguration(const IPConfiguration& configuration);

    const std::string& GetID() const { return mID; }
    const std::string& GetMACAddress() const { return mMACAddress; }
    const std::string& GetName() const { return mName; }
    const std::string& GetDescription() const { return mDescription; }
    unsigned int GetSystemIndex() const { return mSystemIndex; }
    const std::vector<IPConfiguration>& GetIPConfigurations() const { return mIPConfigurations; }
    std::vector<IPConfiguration>& GetIPConfigurations() { return mIPConfigurations; }
    const std::string& GetDefaultGateway() const { return mDefaultGateway; }
    InterfaceType GetType() const { return mType; }
    unsigned int GetMTU() const { return mMTU; }
    unsigned long GetLinkSpeed() const { return mLinkSpeed; }
    const std::string& GetDriverVersion() const { return mDriverVersion; }

    // True when ID+Name+Description of `a` sorts byte-wise before that of `b`.
    static bool Compare(const Interface* a, const Interface* b);

private:
    std::string mID;
    std::string mMACAddress;
    std::string mName;
    std::string mDescription;
    unsigned int mSystemIndex;
    std::vector<IPConfiguration> mIPConfigurations;
    std::string mDefaultGateway;
    InterfaceType mType;
    unsigned int mMTU;
    unsigned long mLinkSpeed;
    std::string mDriverVersion;
};

// True when the Name of `a` sorts byte-wise before that of `b`: the order of the inventory.
bool SortInterfacePtrVector(const Interface* a, const Interface* b);

}  // namespace Network
}  // namespace KvUtilsLib
