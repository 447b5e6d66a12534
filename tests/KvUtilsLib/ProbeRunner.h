#pragma once

#include <map>
#include <string>
#include <vector>

// Helpers of the root tests: shell commands, the inventory probe and network namespaces.
namespace ProbeRunner {

struct Output {
    int status = -1;  // exit status, or -1 when the command did not exit normally
    std::vector<std::string> lines;
};

struct Configuration {
    std::string address;
    std::string mask;
};

struct Record {
    std::string name, id, mac, description, gateway, version;
    unsigned int type = 99;
    std::vector<Configuration> configurations;
};

bool IsRoot();
// Runs `command` with /bin/sh; its output is collected, its error output passes through.
Output Run(const std::string& command);
std::string ProbePath();
std::string WithDriverNodePath();
// The probe's "key=value" lines.
std::map<std::string, std::string> KeyValues(const Output& output);
// The probe's inventory listing, in list order.
std::vector<Record> Records(const Output& output);
const Record* Find(const std::vector<Record>& records, const std::string& name);

// A network namespace of the test's own, removed again by the destructor.
class NetworkNamespace {
public:
    NetworkNamespace();
    ~NetworkNamespace();
    NetworkNamespace(const NetworkNamespace&) = delete;
    NetworkNamespace& operator=(const NetworkNamespace&) = delete;

    bool IsCreated() const { return mCreated; }
    const std::string& Name() const { return mName; }
    // Runs "ip <arguments>" inside the namespace; true when it succeeded.
    bool Ip(const std::string& arguments) const;
    // Runs `command` inside the namespace (ip netns exec).
    Output Exec(const std::string& command) const;
    // The probe's enumeration inside the namespace with the given checker.
    std::vector<Record> Inventory(const std::string& checker) const;

private:
    std::string mName;
    bool mCreated;
};

}  // namespace ProbeRunner
