#pragma once

#include <string>

// Test-side remote control of a simulated device (tools/simdevice.py) over
// its loopback control channel. The test driver starts one device per COM
// port and tells the test program where to reach it through the environment
// variable BAUDSET_DEVICE_COM<n>=<tcp port>.
class DeviceControl {
public:
    explicit DeviceControl(int comNumber);
    ~DeviceControl();
    DeviceControl(const DeviceControl&) = delete;
    DeviceControl& operator=(const DeviceControl&) = delete;

    bool Connected() const;
    // Sends one command line and returns the reply line ("ok ..." or
    // "error ..."); an empty string when the channel failed.
    std::string Command(const std::string& command);
    // The reply without its "ok " head, or "" (with a test failure) on error.
    std::string Ask(const std::string& command);

    // Every line the device has received since the last clear, decoded.
    std::string Received();

private:
    unsigned long long socket_;
};

// The raw bytes a test expects on the wire, hex-encoded for "send".
std::string Hex(const std::string& bytes);
