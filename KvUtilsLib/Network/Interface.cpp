#include "KvUtilsLib/Network/Interface.h"

namespace KvUtilsLib {
namespace Network {

Interface::Interface() : mSystemIndex(0), mType(InterfaceTypeNoDriver), mMTU(0), mLinkSpeed(0) {
    Init();
}

Interface::Interface(const Interface& other) : Interface() {
    *this = other;
}

Interface& Interface::operator=(const Interface& other) {
    if (&other == this) {
        return *this;
    }
    mID = other.mID;
    mMACAddress = other.mMACAddress;
    mName = other.mName;
    mDescription = other.mDescription;
    mSystemIndex = other.mSystemIndex;
    mIPConfigurations = other.mIPConfigurations;
    mDefaultGateway = other.mDefaultGateway;
    mType = other.mType;
    mMTU = other.mMTU;
    mLinkSpeed = other.mLinkSpeed;
    mDriverVersion = other.mDriverVersion;
    return *this;
}

Interface::~Interface() = default;

void Interface::Init() {
    mID.clear();
    mMACAddress.clear();
    mName.clear();
    mDescription.clear();
    mIPConfigurations.clear();
    mDefaultGateway = kNoAddress;
    mDriverVersion.clear();
}

void Interface::SetID(const std::string& id, const std::string& macAddress, const std::string& name,
                      const std::string& description) {
    mID = id;
    mMACAddress = macAddress;
    mName = name;
    mDescription = description;
}

void Interface::AddIPConfiguration(const IPConfiguration& configuration) {
    mIPConfigurations.push_back(configuration);
}

bool Interface::Compare(const Interface* a, const Interface* b) {
    return a->mID + a->mName + a->mDescription < b->mID + b->mName + b->mDescription;
}

bool SortInterfacePtrVector(const Interface* a, const Interface* b) {
    return a->GetName() < b->GetName();
}

}  // namespace Network
}  // namespace KvUtilsLib
