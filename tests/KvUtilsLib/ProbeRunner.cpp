#include "ProbeRunner.h"

#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <iostream>
#include <memory>
#include <sstream>

namespace ProbeRunner {

namespace {

int ExitStatus(int status) {
    return status != -1 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::vector<std::string> Split(const std::string& line, char separator) {
    std::vector<std::string> fields;
    std::string field;
    std::istringstream stream(line);
    while (std::getline(stream, field, separator)) {
        fields.push_back(field);
    }
    if (!line.empty() && line.back() == separator) {
        fields.emplace_back();
    }
    return fields;
}

}  // namespace

bool IsRoot() {
    return geteuid() == 0;
}

Output Run(const std::string& command) {
    Output output;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) {
        return output;
    }
    std::string line;
    char chunk[512];
    while (std::fgets(chunk, sizeof(chunk), pipe) != nullptr) {
        line += chunk;
        if (!line.empty() && line.back() == '\n') {
            line.pop_back();
            output.lines.push_back(line);
            line.clear();
        }
    }
    if (!line.empty()) {
        output.lines.push_back(line);
    }
    output.status = ExitStatus(pclose(pipe));
    return output;
}

std::string ProbePath() {
    return KV_INVENTORY_PROBE;
}

std::string WithDriverNodePath() {
    return KV_WITH_DRIVER_NODE;
}

std::map<std::string, std::string> KeyValues(const Output& output) {
    std::map<std::string, std::string> values;
    for (const std::string& line : output.lines) {
        size_t equal = line.find('=');
        if (equal != std::string::npos) {
            values[line.substr(0, equal)] = line.substr(equal + 1);
        }
    }
    return values;
}

std::vector<Record> Records(const Output& output) {
    std::vector<Record> records;
    for (const std::string& line : output.lines) {
        std::vector<std::string> fields = Split(line, '\t');
        if (fields.size() == 8 && fields[0] == "interface") {
            Record record;
            record.name = fields[1];
            record.id = fields[2];
            record.mac = fields[3];
            record.description = fields[4];
            record.type = static_cast<unsigned int>(std::stoul(fields[5]));
            record.gateway = fields[6];
            record.version = fields[7];
            records.push_back(record);
        } else if (fields.size() == 3 && fields[0] == "config" && !records.empty()) {
            records.back().configurations.push_back({fields[1], fields[2]});
        }
    }
    return records;
}

const Record* Find(const std::vector<Record>& records, const std::string& name) {
    for (const Record& record : records) {
        if (record.name == name) {
            return &record;
        }
    }
    return nullptr;
}

NetworkNamespace::NetworkNamespace() : mCreated(false) {
    static std::atomic<unsigned int> sCounter{0};
    mName = "kvinv" + std::to_string(getpid()) + "_" + std::to_string(sCounter++);
    mCreated = Run("ip netns add " + mName).status == 0;
    if (mCreated) {
        mCreated = Ip("link set lo up");
    }
}

NetworkNamespace::~NetworkNamespace() {
    Output removed = Run("ip netns del " + mName + " 2>/dev/null");
    (void)removed;
}

bool NetworkNamespace::Ip(const std::string& arguments) const {
    Output output = Run("ip -n " + mName + " " + arguments);
    if (output.status != 0) {
        std::cerr << "ip -n " << mName << " " << arguments << " failed\n";
    }
    return output.status == 0;
}

Output NetworkNamespace::Exec(const std::string& command) const {
    return Run("ip netns exec " + mName + " " + command);
}

std::vector<Record> NetworkNamespace::Inventory(const std::string& checker) const {
    Output output = Exec(ProbePath() + " inventory '" + checker + "'");
    if (output.status != 0) {
        std::cerr << "the inventory probe ended with " << output.status << "\n";
        return {};
    }
    return Records(output);
}

}  // namespace ProbeRunner
