#pragma once

#include <string>

// Test-side remote control of a simulated device (tools/simdevice.py) over
// its loopback control channel. The test driver starts one device per COM
// port and tells the test program where to reach it through the environment
// variable BAUDSET_DEVICE_COM<n>=<tcp port>. On Linux, SimDevice starts its
// own device and is its control.
class DeviceControl {
public:
    DeviceControl() = default;
    // The device the test driver started for COM<comNumber>.
    explicit DeviceControl(int comNumber);
    ~DeviceControl();
    DeviceControl(const DeviceControl&) = delete;
    DeviceControl& operator=(const DeviceControl&) = delete;

    // Reaches the channel at 127.0.0.1:`tcpPort`; a reply that takes longer
    // than `replySeconds` counts as a failed channel.
    bool Connect(int tcpPort, int replySeconds);
    bool Connected() const;
    // Sends one command line and returns the reply line ("ok ..." or
    // "error ..."); an empty string when the channel failed.
    std::string Command(const std::string& command);
    // The reply without its "ok " head, or "" (with a test failure) on error.
    std::string Ask(const std::string& command);
    // Writes `bytes` to the program as they are.
    void Send(const std::string& bytes);

    // Every line the device has received since the last clear, decoded.
    std::string Received();

private:
    long long socket_ = -1;  // a SOCKET on Windows, a descriptor elsewhere
};
