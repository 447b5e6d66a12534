#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "ZrUtilsLib/Result.h"

namespace KvUtilsLib {
namespace Network {

// Reads the kernel's IPv4 routing table ("/proc/net/route") and records, per interface, the
// gateway of its default route (the last one in the file when there are several).
class GatewayParser {
public:
    // Lines are read in chunks of at most CHUNK_SIZE - 1 characters.
    static constexpr unsigned int CHUNK_SIZE = 64;

    explicit GatewayParser(const std::string& path);
    virtual ~GatewayParser();
    GatewayParser(const GatewayParser&) = delete;
    GatewayParser& operator=(const GatewayParser&) = delete;

    // OK, CANNOT_OPEN_FILE or UNEXPECTED_ERROR. Calling it again adds to what was found.
    ZrUtilsLib::Result ParseRoute();
    // The dotted gateway of `name`'s default route, or an empty text.
    std::string Get(const std::string& name) const;

    // Parses the start of one route line: true for a default route, with the interface name
    // and the gateway as the file writes it. `lineComplete` tells whether `line` holds the whole
    // line; if not, a field that reaches the end of `line` may be cut and is refused.
    static bool ParseDefaultRoute(const char* line, bool lineComplete, std::string& name,
                                  uint32_t& gateway);

private:
    std::string mPath;
    std::map<std::string, std::string> mGateways;
};

}  // namespace Network
}  // namespace KvUtilsLib
