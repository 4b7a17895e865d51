// The operation table of the node runtime library (dllNRK32.dll).
//
// The server reaches the runtime only through this table, obtained once with
// NRK_GET_INTERFACE(0, &server). The operations, their order and their
// arguments are fixed: the table is a vtable shared with the runtime library.
// Text crosses the boundary as narrow, NUL-terminated text in the user's ANSI
// code page. Every text getter writes into the caller's buffer of
// NRK_TEXT_SIZE bytes: at most NRK_TEXT_SIZE - 1 bytes and the NUL, a longer
// text cut at a character boundary; on failure the buffer holds "".
//
// Every operation may be called from several threads at once, also while the
// node loads, starts, stops or unloads.
#pragma once

#ifdef NRK_BUILDING_DLL
#define NRK_API __declspec(dllexport)
#else
#define NRK_API __declspec(dllimport)
#endif

// Size of every text buffer handed to a getter, terminating NUL included.
constexpr int NRK_TEXT_SIZE = 256;

// Object id of a channel group for GetObjectText.
constexpr int NRK_GROUP_OBJECT = 0x10000000;

// Attribute ids with a role outside the runtime.
enum NRK_Attribute : int {
    NRK_ATTR_VALUE = 2,          // the channel's value
    NRK_ATTR_WRITE_LOCK = 8,     // attribute 2 may be written only while this reads 0
    NRK_ATTR_TYPE = 48,          // channel type 0..15
    NRK_ATTR_RIGHTS_HALF = 81,   // selects the half of the write table
    NRK_ATTR_PARENT = 125,       // of a group object: the parent group id as decimal text
    NRK_ATTR_VISIBLE = 126,      // type 11: non-zero when the channel is shown
    NRK_ATTR_NAME = 127,         // channel name; with GetNodeText the node name
};

// Node parameters and properties.
enum NRK_Parameter : int {
    NRK_PARAM_CHANNEL_END = 1,   // one past the highest channel id
    NRK_PARAM_SCAN_PERIOD = 104, // scan and refresh period in milliseconds
};
enum NRK_Property : int {
    NRK_PROP_NODE_ACCEPTED = 129, // 1 when the node is of the type this server serves
    NRK_PROP_NODE_TYPE = 130,     // the node type declared by the node file (this server serves type 1)
};

struct CredentialPair {
    const char* user;
    const char* password;
};

class NRK_Server {
public:
    virtual void UnloadNode() = 0;
    virtual void SetRootDirectory(const char* directory) = 0;
    // 0 = loaded; any other value is a failure (see NRK_GetLastError).
    virtual int LoadNode(const char* directory, const char* fileName) = 0;
    virtual void StartNode() = 0;
    virtual void StopNode() = 0;
    virtual bool GetNodeText(int attr, char* text) = 0;
    virtual bool GetAttributeName(int ch, int attr, char* text) = 0;
    virtual bool IsNodeLoaded() = 0;
    virtual bool IsNodeRunning() = 0;
    virtual bool GetNodeProperty(int property, int* value) = 0;
    virtual bool GetObjectText(int object, int attr, char* text, int flags) = 0;
    virtual bool GetChannelString(int ch, int elem, char* text, int attr, int flags) = 0;
    virtual bool GetChannelFloat(int ch, int elem, float* value, int attr) = 0;
    virtual bool GetChannelInt(int ch, int elem, int* value, int attr) = 0;
    virtual bool GetChannelDouble(int ch, int elem, double* value, int attr) = 0;
    virtual bool SetChannelString(int ch, int elem, const char* text, int attr) = 0;
    virtual bool SetChannelFloat(int ch, int elem, float value, int attr) = 0;
    virtual bool SetChannelInt(int ch, int elem, int value, int attr) = 0;
    virtual bool SetChannelDouble(int ch, int elem, double value, int attr) = 0;
    virtual int GetGroupLimit(int which) = 0;
    virtual bool IsGroup(int group) = 0;
    virtual bool GetGroupName(int group, char* text) = 0;
    virtual bool GetGroupChannelCount(int group, int* count) = 0;
    virtual int GetGroupChannel(int group, int index) = 0;
    virtual int GetNodeParameter(int parameter) = 0;
    // 0 or more: the login value, accepted; negative: refused.
    virtual int Login(const CredentialPair& credentials) = 0;
    virtual void Logout(int login, int flags) = 0;
    virtual int GetOperatorCount() = 0;
    virtual bool CanStart() = 0;
    virtual bool CanStop() = 0;
    virtual bool CanViewValues() = 0;

protected:
    ~NRK_Server() = default; // the table belongs to the library
};

extern "C" {
// version 0 is the only one; the table lives as long as the library is loaded.
NRK_API bool NRK_GET_INTERFACE(int version, NRK_Server** server);
// The reason of the last failed LoadNode of this process ("file:line: problem"),
// copied into text; false when it does not fit or there was no failure.
NRK_API bool NRK_GetLastError(char* text, int size);
}
