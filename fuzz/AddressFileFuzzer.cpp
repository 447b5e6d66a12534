// The inventory's reading of /sys/class/net/<adapter>/address, with the adapter's name and the
// file's bytes chosen by the input (name, then '/', then the content). The target runs in a
// private network namespace (only the loopback adapter, so the enumeration's first pass lists
// nothing) and a private mount namespace whose /sys/class/net is a scratch tmpfs; it then
// enumerates with a real System. An address file of at most MAX_ADDRESS_FILE_SIZE bytes gives
// one record named after the adapter, its address text being the file's characters from '0'
// to 'z'; a longer file, or a directory without one, gives none. Without root the namespaces
// cannot be made, and only the text extraction itself is fuzzed.

#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "KvUtilsLib/Network/Interface.h"
#include "KvUtilsLib/Network/System.h"
#include "fuzz/FuzzSupport.h"

using KvUtilsLib::Network::Interface;
using KvUtilsLib::Network::System;

namespace {

constexpr const char* kFallbackName = "kvfuzz0";
constexpr const char* kPlainFile = "bonding_masters";
bool gPrivateSys = false;

std::string AdapterName(const std::string& name) {
    if (name.empty() || name == "." || name == ".." || name.size() > 200 ||
        name.find('\0') != std::string::npos || name == kPlainFile) {
        return kFallbackName;
    }
    return name;
}

std::string Filtered(const std::string& content) {
    std::string text;
    for (char c : content) {
        if (c >= '0' && c <= 'z') {
            text.push_back(c);
        }
    }
    return text;
}

void CheckExtraction(const std::string& content) {
    std::string text = "stale";
    const bool read = KvUtilsLib::Network::ExtractAddressText(content.data(), content.size(), text);
    FUZZ_CHECK(read == (content.size() <= KvUtilsLib::Network::MAX_ADDRESS_FILE_SIZE),
               "%zu bytes answered %d", content.size(), read);
    if (read) {
        FUZZ_CHECK(text == Filtered(content), "extracted \"%s\"", KvFuzz::Printable(text).c_str());
    }
}

void CheckRecord(const Interface& record, const std::string& name, const std::string& text) {
    FUZZ_CHECK(record.GetName() == name && record.GetDescription() == name, "name %s",
               KvFuzz::Printable(record.GetName()).c_str());
    FUZZ_CHECK(record.GetID() == text && record.GetMACAddress() == text, "address \"%s\"",
               KvFuzz::Printable(record.GetMACAddress()).c_str());
    FUZZ_CHECK(record.GetIPConfigurations().size() == 1, "configurations");
    FUZZ_CHECK(record.GetIPConfigurations()[0].Address == Interface::NO_ADDRESS &&
                   record.GetIPConfigurations()[0].SubnetMask == Interface::NO_ADDRESS,
               "configuration of a disconnected adapter");
    FUZZ_CHECK(record.GetType() == 0 && record.GetDefaultGateway() == "0.0.0.0", "type/gateway");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    setenv("ZR_TINY_LOGGER", "stdout,3", 0);
    gPrivateSys = KvFuzz::EnterPrivateMounts() && KvFuzz::EnterPrivateNetwork({}) &&
                  KvFuzz::MountScratch(System::CLASS_NET_DIR);
    if (!gPrivateSys) {
        std::fprintf(stderr,
                     "address file fuzzer: no private namespaces (root needed); "
                     "fuzzing the text extraction only\n");
        return 0;
    }
    // A plain file among the adapters' directories is never an adapter.
    FUZZ_CHECK(KvFuzz::WriteFile(std::string(System::CLASS_NET_DIR) + "/" + kPlainFile, "x", 1),
               "scratch file");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    const size_t slash = input.find('/');
    const bool hasFile = slash != std::string::npos;
    const std::string name = AdapterName(input.substr(0, slash));
    const std::string content = hasFile ? input.substr(slash + 1) : std::string();
    CheckExtraction(content);
    if (!gPrivateSys) {
        return 0;
    }

    const std::string directory = std::string(System::CLASS_NET_DIR) + "/" + name;
    const std::string file = directory + "/address";
    FUZZ_CHECK(mkdir(directory.c_str(), 0755) == 0, "mkdir %s", KvFuzz::Printable(name).c_str());
    if (hasFile) {
        FUZZ_CHECK(KvFuzz::WriteFile(file, content.data(), content.size()), "address file");
    }
    {
        System inventory(nullptr);
        const bool listed =
            hasFile && name != "lo" && content.size() <= KvUtilsLib::Network::MAX_ADDRESS_FILE_SIZE;
        FUZZ_CHECK(inventory.GetInterfaceCount() == (listed ? 1u : 0u), "%u records for %s",
                   inventory.GetInterfaceCount(), KvFuzz::Printable(name).c_str());
        if (listed) {
            CheckRecord(*inventory.GetInterface(0), name, Filtered(content));
        }
    }
    unlink(file.c_str());
    FUZZ_CHECK(rmdir(directory.c_str()) == 0, "rmdir");
    return 0;
}
