#include "device_control.h"

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>

namespace {

#ifdef _WIN32
using Socket = SOCKET;
constexpr int kSocketFlags = 0;
constexpr int kSendFlags = 0;

bool StartSockets() {
    static bool started = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    return started;
}
#else
using Socket = int;
constexpr int kSocketFlags = SOCK_CLOEXEC;  // not inherited by the devices later tests start
// A device gone away fails the send rather than killing the test with SIGPIPE.
constexpr int kSendFlags = MSG_NOSIGNAL;

bool StartSockets() { return true; }
int closesocket(Socket s) { return close(s); }
#endif

}  // namespace

DeviceControl::DeviceControl(int comNumber) {
    char name[40];
    std::snprintf(name, sizeof name, "BAUDSET_DEVICE_COM%d", comNumber);
    const char* port = std::getenv(name);
    if (port == nullptr) {
        ADD_FAILURE() << "no simulated device on COM" << comNumber << " (" << name << " unset)";
    } else if (!Connect(std::atoi(port), 10)) {
        ADD_FAILURE() << "cannot reach the device of COM" << comNumber << " on port " << port;
    }
}

DeviceControl::~DeviceControl() {
    if (Connected()) {
        closesocket(static_cast<Socket>(socket_));
    }
}

bool DeviceControl::Connected() const { return socket_ != -1; }

bool DeviceControl::Connect(int tcpPort, int replySeconds) {
    if (!StartSockets()) {
        return false;
    }
    Socket s = socket(AF_INET, SOCK_STREAM | kSocketFlags, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<unsigned short>(tcpPort));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        closesocket(s);
        return false;
    }
#ifdef _WIN32
    DWORD timeout = replySeconds * 1000;
#else
    timeval timeout{replySeconds, 0};
#endif
    setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout), sizeof timeout);
    socket_ = static_cast<long long>(s);
    return true;
}

std::string DeviceControl::Command(const std::string& command) {
    if (!Connected()) {
        return "";
    }
    Socket s = static_cast<Socket>(socket_);
    std::string line = command + "\n";
    if (send(s, line.data(), static_cast<int>(line.size()), kSendFlags) != static_cast<int>(line.size())) {
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

void DeviceControl::Send(const std::string& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    for (unsigned char c : bytes) {
        hex += digits[c >> 4];
        hex += digits[c & 15];
    }
    Ask("send " + hex);
}

std::string DeviceControl::Received() {
    std::string hex = Ask("received hex");
    std::string bytes;
    for (std::size_t at = 0; at + 1 < hex.size(); at += 2) {
        bytes += static_cast<char>(std::strtol(hex.substr(at, 2).c_str(), nullptr, 16));
    }
    return bytes;
}
