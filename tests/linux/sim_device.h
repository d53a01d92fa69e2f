#pragma once
// tools/simdevice.py on a pty of its own, linked in a fresh temporary
// folder, driven over its control channel; it quits with the object.
#include <poll.h>
#include <signal.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "device_control.h"

class SimDevice : public DeviceControl {
public:
    SimDevice() {
        char folder[] = "/tmp/baudset-link-XXXXXX";
        folder_ = mkdtemp(folder) != nullptr ? folder : "/nonexistent";
        link_ = folder_ + "/dev0";
        // The shell says its PID first, which exec hands on to the device:
        // one that never answers is ended by it, not waited for by pclose.
        const std::string command = "echo $$; exec python3 '" BAUDSET_SIMDEVICE "' --control-port 0 --link '" +
                                    link_ + "' </dev/null 2>'" + folder_ + "/device.log'";
        process_ = popen(command.c_str(), "re");
        // It prints "ready ... control=127.0.0.1:PORT" once its pty is linked
        // and the channel listens; Python starting on a machine whose every
        // CPU is busy takes seconds.
        char ready[512] = "";
        pollfd out{process_ != nullptr ? fileno(process_) : -1, POLLIN, 0};
        if (poll(&out, 1, 30000) == 1 && fgets(ready, sizeof ready, process_) != nullptr) {
            pid_ = std::atoi(ready);
        }
        const char* colon = nullptr;
        if (pid_ <= 0 || poll(&out, 1, 30000) != 1 || fgets(ready, sizeof ready, process_) == nullptr ||
            std::strstr(ready, " ready ") == nullptr || (colon = std::strrchr(ready, ':')) == nullptr) {
            ADD_FAILURE() << "simulated device did not start: '" << ready << "', see " << folder_;
            return;
        }
        // "stream off" first waits for the line to settle.
        EXPECT_TRUE(Connect(std::atoi(colon + 1), 15)) << "cannot reach the simulated device: " << ready;
    }
    ~SimDevice() {
        if (Connected()) {
            Ask("quit");  // it removes its link on the way out
        } else if (pid_ > 0) {
            kill(pid_, SIGTERM);
        }
        if (process_ != nullptr) {
            pclose(process_);
        }
        std::error_code ignored;
        std::filesystem::remove_all(folder_, ignored);
    }

    const std::string& Link() const { return link_; }
    const std::string& Folder() const { return folder_; }

private:
    std::string folder_, link_;
    FILE* process_ = nullptr;
    pid_t pid_ = 0;
};
