#pragma once
// tools/simdevice.py on a pty of its own, linked in a fresh temporary
// folder, driven over its control channel; it quits with the object.
#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

class SimDevice {
public:
    SimDevice() {
        char folder[] = "/tmp/baudset-link-XXXXXX";
        folder_ = mkdtemp(folder) != nullptr ? folder : "/nonexistent";
        link_ = folder_ + "/dev0";
        const std::string command = "exec python3 '" BAUDSET_SIMDEVICE "' --control-port 0 --link '" +
                                    link_ + "' </dev/null 2>'" + folder_ + "/device.log'";
        process_ = popen(command.c_str(), "re");
        // It prints "ready ... control=127.0.0.1:PORT" once its pty is linked
        // and the channel listens; Python starting on a machine whose every
        // CPU is busy takes seconds.
        char ready[512] = "";
        pollfd out{process_ != nullptr ? fileno(process_) : -1, POLLIN, 0};
        const char* colon = nullptr;
        if (poll(&out, 1, 30000) != 1 || fgets(ready, sizeof ready, process_) == nullptr ||
            std::strstr(ready, " ready ") == nullptr || (colon = std::strrchr(ready, ':')) == nullptr) {
            ADD_FAILURE() << "simulated device did not start: '" << ready << "', see " << folder_;
            return;
        }
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<uint16_t>(std::atoi(colon + 1)));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socket_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        timeval timeout{15, 0};  // "stream off" first waits for the line to settle
        setsockopt(socket_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
        EXPECT_EQ(connect(socket_, reinterpret_cast<sockaddr*>(&address), sizeof address), 0) << ready;
    }
    ~SimDevice() {
        if (socket_ >= 0) {
            Ask("quit");  // it removes its link on the way out
            close(socket_);
        }
        if (process_ != nullptr) {
            pclose(process_);
        }
        std::error_code ignored;
        std::filesystem::remove_all(folder_, ignored);
    }
    SimDevice(const SimDevice&) = delete;
    SimDevice& operator=(const SimDevice&) = delete;

    bool Started() const { return socket_ >= 0; }
    const std::string& Link() const { return link_; }
    const std::string& Folder() const { return folder_; }

    // The reply without its "ok", or "" with a test failure when refused.
    std::string Ask(const std::string& command) {
        const std::string line = command + "\n";
        std::string reply;
        char c = 0;
        bool answered = send(socket_, line.data(), line.size(), MSG_NOSIGNAL) == ssize_t(line.size());
        while (answered && (answered = recv(socket_, &c, 1, 0) == 1) && c != '\n') {
            reply += c;
        }
        if (!answered || reply.compare(0, 2, "ok") != 0) {
            ADD_FAILURE() << "device refused '" << command << "': " << reply;
            return "";
        }
        return reply.size() > 3 ? reply.substr(3) : "";
    }
    // Writes `bytes` to the program as they are.
    void Send(const std::string& bytes) {
        std::string hex;
        for (unsigned char c : bytes) {
            hex += "0123456789abcdef"[c >> 4];
            hex += "0123456789abcdef"[c & 15];
        }
        Ask("send " + hex);
    }

private:
    std::string folder_, link_;
    FILE* process_ = nullptr;
    int socket_ = -1;
};
