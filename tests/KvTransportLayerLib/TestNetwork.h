#pragma once

#include <cstdint>
#include <string>
#include <vector>

// A throw-away network namespace holding a veth pair, "kvsend" and "kvcap", with IPv6 off so
// that the link stays silent. While it exists the calling thread (and every thread it starts)
// lives in the namespace; raw Ethernet frames sent on "kvsend" arrive on "kvcap".
class TestNetwork {
public:
    TestNetwork();
    ~TestNetwork();
    TestNetwork(const TestNetwork&) = delete;
    TestNetwork& operator=(const TestNetwork&) = delete;

    // Empty when the namespace exists; otherwise why it could not be made.
    const std::string& GetFailure() const { return mFailure; }
    const char* GetCaptureAdapter() const { return "kvcap"; }

    // Sends one numbered UDP frame of the given total length (60 to 1514 bytes); returns the
    // frame as sent.
    std::vector<uint8_t> SendNumbered(uint32_t sequence, uint32_t frameLength);
    // The expected frame for a sequence number and length, as SendNumbered builds it.
    static std::vector<uint8_t> BuildFrame(uint32_t sequence, uint32_t frameLength);
    // Reads the sequence number of a frame built by BuildFrame; false for other traffic.
    static bool ReadSequence(const uint8_t* frame, uint32_t length, uint32_t* sequence);
    // Removes the capture side of the pair while the namespace stays.
    bool DeleteCaptureAdapter();
    // The sending socket, so that a test can tell it apart from libpcap's.
    int GetSendSocket() const { return mSendSocket; }

private:
    bool Run(const std::string& command);

    std::string mName;
    std::string mFailure;
    int mOriginalNamespace = -1;
    int mSendSocket = -1;
    int mSendIndex = 0;
    bool mEntered = false;
};
