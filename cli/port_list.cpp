#include "port_list.h"

#include <setupapi.h>

#include <cstring>

#include "port_discovery.h"
#include "port_identity.h"
#include "terminal_words.h"

namespace {

// The Ports class, spelled out: MinGW and MSVC name it in different headers.
const GUID kPortsClass = {0x4d36e978, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};

void KeepWide(char* field, std::size_t size, const wchar_t* text) {
    char utf8[512];
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, text, -1, utf8, sizeof utf8, nullptr, nullptr);
    KeepField(field, size, utf8, bytes > 0 ? static_cast<std::size_t>(bytes - 1) : 0);
}

void KeepProperty(HDEVINFO set, SP_DEVINFO_DATA* device, DWORD property, char* field,
                  std::size_t size) {
    wchar_t text[256] = {};
    DWORD type = 0;
    if (SetupDiGetDeviceRegistryPropertyW(set, device, property, &type,
                                          reinterpret_cast<BYTE*>(text), sizeof text - sizeof(wchar_t),
                                          nullptr) &&
        type == REG_SZ) {
        KeepWide(field, size, text);
    }
}

// The device of the Ports class whose PortName is `name`, and what Windows
// recorded of it; read from the device's keys, the port never opened.
PortIdentity IdentifyComPort(const char* name) {
    PortIdentity port;
    KeepField(port.name, sizeof port.name, name, std::strlen(name));
    HDEVINFO set = SetupDiGetClassDevsW(&kPortsClass, nullptr, nullptr, DIGCF_PRESENT);
    if (set == INVALID_HANDLE_VALUE) {
        return port;
    }
    SP_DEVINFO_DATA device = {};
    device.cbSize = sizeof device;
    for (DWORD index = 0; SetupDiEnumDeviceInfo(set, index, &device); ++index) {
        HKEY key = SetupDiOpenDevRegKey(set, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
        if (key == INVALID_HANDLE_VALUE) {
            continue;
        }
        wchar_t portName[64] = {};
        DWORD size = sizeof portName - sizeof(wchar_t);
        DWORD type = 0;
        const LONG read = RegQueryValueExW(key, L"PortName", nullptr, &type,
                                           reinterpret_cast<BYTE*>(portName), &size);
        RegCloseKey(key);
        char portNameUtf8[64] = {};
        KeepWide(portNameUtf8, sizeof portNameUtf8, portName);
        if (read != ERROR_SUCCESS || type != REG_SZ || lstrcmpiA(portNameUtf8, name) != 0) {
            continue;
        }
        wchar_t id[512] = {};
        if (SetupDiGetDeviceInstanceIdW(set, &device, id, 511, nullptr)) {
            char idUtf8[512] = {};
            KeepWide(idUtf8, sizeof idUtf8, id);
            ReadInstanceId(idUtf8, &port);
        }
        KeepProperty(set, &device, SPDRP_MFG, port.manufacturer, sizeof port.manufacturer);
        KeepProperty(set, &device, SPDRP_DEVICEDESC, port.product, sizeof port.product);
        KeepProperty(set, &device, SPDRP_SERVICE, port.driver, sizeof port.driver);
        break;
    }
    SetupDiDestroyDeviceInfoList(set);
    return port;
}

}  // namespace

int PrintRegisteredPorts(ConsoleStreams& streams, bool identities, bool json) {
    RegisteredPorts ports;
    const LONG error = ListRegisteredPorts(ports);
    for (int i = 0; i < ports.count; ++i) {
        if (!identities) {
            streams.Result(ports.names[i]);
            continue;
        }
        char line[2048];
        streams.Result(DescribePortIdentity(IdentifyComPort(ports.names[i]), json, line, sizeof line));
    }
    char line[320];
    if (ports.leftOut > 0) {
        streams.Message(SayTerminal(TerminalWords::kPortsNotListed, line, sizeof line,
                                    ports.leftOut, RegisteredPorts::kMaxPorts,
                                    RegisteredPorts::kNameSize - 1));
    }
    if (error != ERROR_SUCCESS) {
        // The key went away under the listing (the last adapter pulled) or
        // Windows refused to read it: what came before is all there is.
        streams.Message(SayTerminal(TerminalWords::kListBrokenOff, line, sizeof line,
                                    static_cast<unsigned long>(error)));
        return TerminalStatus::kSystemRefused;
    }
    return TerminalStatus::kDone;
}
