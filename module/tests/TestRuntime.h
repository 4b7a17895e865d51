// A scripted runtime table for the module's tests: records loads, starts, stops.
#pragma once

#include "nrk/NRK_Server.h"

#include <string>

class TestRuntime final : public NRK_Server {
public:
    int loadResult = 0;
    bool propertyResult = true;
    int nodeType = 1;
    bool writesProperty = true;
    bool loaded = false;
    bool running = false;
    std::string rootDirectory, loadDirectory, loadFile;
    int loads = 0, starts = 0, stops = 0, unloads = 0;

    void UnloadNode() override { ++unloads; loaded = false; }
    void SetRootDirectory(const char* d) override { rootDirectory = d; }
    int LoadNode(const char* d, const char* f) override {
        ++loads; loadDirectory = d; loadFile = f;
        loaded = loadResult == 0;
        return loadResult;
    }
    void StartNode() override { ++starts; running = true; }
    void StopNode() override { ++stops; running = false; }
    bool GetNodeText(int, char* t) override { t[0] = 0; return false; }
    bool GetAttributeName(int, int, char* t) override { t[0] = 0; return false; }
    bool IsNodeLoaded() override { return loaded; }
    bool IsNodeRunning() override { return running; }
    bool GetNodeProperty(int property, int* value) override {
        if (property == NRK_PROP_NODE_ACCEPTED && writesProperty) *value = nodeType;
        return propertyResult;
    }
    bool GetObjectText(int, int, char* t, int) override { t[0] = 0; return false; }
    bool GetChannelString(int, int, char* t, int, int) override { t[0] = 0; return false; }
    bool GetChannelFloat(int, int, float*, int) override { return false; }
    bool GetChannelInt(int, int, int*, int) override { return false; }
    bool GetChannelDouble(int, int, double*, int) override { return false; }
    bool SetChannelString(int, int, const char*, int) override { return false; }
    bool SetChannelFloat(int, int, float, int) override { return false; }
    bool SetChannelInt(int, int, int, int) override { return false; }
    bool SetChannelDouble(int, int, double, int) override { return false; }
    int GetGroupLimit(int) override { return 0; }
    bool IsGroup(int) override { return false; }
    bool GetGroupName(int, char* t) override { t[0] = 0; return false; }
    bool GetGroupChannelCount(int, int* c) override { *c = 0; return false; }
    int GetGroupChannel(int, int) override { return 0; }
    int GetNodeParameter(int) override { return 0; }
    int Login(const CredentialPair&) override { return -1; }
    void Logout(int, int) override {}
    int GetOperatorCount() override { return 0; }
    bool CanStart() override { return true; }
    bool CanStop() override { return true; }
    bool CanViewValues() override { return true; }
};
