#include "device_control.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>

namespace {

bool EnsureWinsock() {
    static bool started = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    return started;
}

}  // namespace

DeviceControl::DeviceControl(int comNumber) : socket_(INVALID_SOCKET) {
    char name[40];
    std::snprintf(name, sizeof name, "BAUDSET_DEVICE_COM%d", comNumber);
    const char* port = std::getenv(name);
    if (port == nullptr || !EnsureWinsock()) {
        ADD_FAILURE() << "no simulated device on COM" << comNumber << " (" << name << " unset)";
        return;
    }
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<u_short>(std::atoi(port)));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ADD_FAILURE() << "cannot reach the device of COM" << comNumber << " on port " << port;
        closesocket(s);
        return;
    }
    DWORD timeout = 10000;
    setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout), sizeof timeout);
    socket_ = s;
}

DeviceControl::~DeviceControl() {
    if (socket_ != INVALID_SOCKET) {
        closesocket(static_cast<SOCKET>(socket_));
    }
}

bool DeviceControl::Connected() const { return socket_ != INVALID_SOCKET; }

std::string DeviceControl::Command(const std::string& command) {
    if (!Connected()) {
        return "";
    }
    SOCKET s = static_cast<SOCKET>(socket_);
    std::string line = command + "\n";
    if (send(s, line.data(), static_cast<int>(line.size()), 0) != static_cast<int>(line.size())) {
        return "";
    }
    std::string reply;
    char c;
    while (recv(s, &c, 1, 0) == 1) {
        if (c == '\n') {
            return reply;
        }
        reply += c;
    }
    return "";
}

std::string DeviceControl::Ask(const std::string& command) {
    std::string reply = Command(command);
    if (reply.rfind("ok", 0) != 0) {
        ADD_FAILURE() << "device refused '" << command << "': " << reply;
        return "";
    }
    return reply.size() > 3 ? reply.substr(3) : "";
}

std::string DeviceControl::Received() {
    std::string hex = Ask("received hex");
    std::string bytes;
    for (std::size_t at = 0; at + 1 < hex.size(); at += 2) {
        bytes += static_cast<char>(std::strtol(hex.substr(at, 2).c_str(), nullptr, 16));
    }
    return bytes;
}

std::string Hex(const std::string& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}
