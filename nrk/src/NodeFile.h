// The node file (*.DBB): a line-oriented text description of one node.
// The format is described in docs/node-file-format.md.
#pragma once

#include "Simulation.h"

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace nrk {

constexpr int kServedNodeType = 1;          // the node type the OPC server serves
constexpr int kMinScanPeriod = 100;         // ms; the scan period is never below this
constexpr int kMaxScanPeriod = 3600000;
constexpr int kMaxChannelId = 1000000;
constexpr int kFirstGroupId = 32;           // ids 1..31 are reserved
constexpr int kMaxGroupId = 65535;
constexpr int kMaxText = 255;               // bytes of a stored text, without the NUL
constexpr std::size_t kMaxFileSize = 256u << 20;

struct AttributeSetting {
    int attr = 0;
    bool isText = false;
    double number = 0;
    std::string text; // UTF-8
};

struct SimulationSetting {
    int attr = 0;
    Simulation sim;
};

struct ChannelDefinition {
    int id = 0;
    int type = 0;
    int line = 0;
    std::string name; // UTF-8
    std::vector<AttributeSetting> settings;
    std::vector<SimulationSetting> simulations;
};

struct GroupDefinition {
    int id = 0;
    int parent = 0; // 0: top level
    int line = 0;
    std::string name;
    std::vector<int> channels; // in the group's order
};

struct OperatorAccount {
    std::string user;
    std::string password;
};

struct NodeDefinition {
    std::string name;
    int nodeType = 0;
    int scanPeriod = 1000;
    std::vector<OperatorAccount> operators;
    bool loginToStart = false, loginToStop = false, loginToView = false;
    std::map<int, GroupDefinition> groups;     // by id
    std::vector<ChannelDefinition> channels;   // ascending id
};

// Parses a node file's content. `label` names the file in messages, which read
// "label:line: problem". Never throws on bad input (only std::bad_alloc).
bool parseNodeFile(std::string_view content, const std::string& label, NodeDefinition& node, std::string& error);

// Reads and parses a file; the message names `label`.
bool readNodeFile(const std::wstring& path, const std::string& label, NodeDefinition& node, std::string& error);

} // namespace nrk
