// bluetoothd on a private bus: an adapter and a keyboard that answers a status request. What it sees goes to
// standard output ("objects", "connect", "write ...", ...); it takes "disconnect", "power off|on", "drop-adapter",
// "add-adapter", "lever <n>", "connect fail|ok" on standard input. --start=known|connected: the keyboard is
// there, or connected, before discovery; --bad-object-lists=N: the first N object lists lack the list;
// --second-adapter: an empty hci1, announced before hci0; see Peer for the rest. Like bluetoothd, it answers
// StartNotify and a write with response only after a round trip to the keyboard, and refuses another write with
// response meanwhile.

#include "DBusBuilder.h"

#include <poll.h>
#include <unistd.h>
#include <chrono>
#include <cstdio>
#include <map>

namespace {

using namespace vemlo::test::dbus;

const std::string kAdapterPath = "/org/bluez/hci0", kSecondAdapterPath = "/org/bluez/hci1", kDevicePath = kAdapterPath + "/dev_C0_FF_EE_73_40_01";
const std::string kServicePath = kDevicePath + "/service0010", kServiceUuid = "00007340-0000-1000-8000-00805f9b34fb";
const std::string kNotifyPath = kServicePath + "/char0011", kCommandPath = kServicePath + "/char0014";
const std::string kAdapter = "org.bluez.Adapter1", kDevice = "org.bluez.Device1",
                  kChar = "org.bluez.GattCharacteristic1";

void say(const std::string& line) { std::printf("%s\n", line.c_str()), std::fflush(stdout); }
using Clock = std::chrono::steady_clock;
// How long the keyboard takes to answer an ATT request.
constexpr auto kRoundTrip = std::chrono::milliseconds(30);

struct Peer {
    DBusConnection* c;
    std::map<std::string, std::string> o;  // the options
    bool adapter = o["adapter"] != "none", powered = o["adapter"].empty(), device = adapter && o["start"] != "",
         connected = device && o["start"] == "connected", command = !o.contains("no-command"), discovering = false,
         notifying = false, second = o.contains("second-adapter");
    uint8_t lever = 0;
    // Calls answered once the keyboard has (StartNotify, a write with response), by characteristic.
    std::map<std::string, std::pair<DBusMessage*, Clock::time_point>> held = {};
    int badObjectLists = o.contains("bad-object-lists") ? std::stoi(o["bad-object-lists"]) : 0;

    DBusHandlerResult handle(DBusMessage* m) {
        if (dbus_message_get_type(m) != DBUS_MESSAGE_TYPE_METHOD_CALL) return DBUS_HANDLER_RESULT_NOT_YET_HANDLED;
        const std::string path = dbus_message_get_path(m), member = dbus_message_get_member(m);
        const bool gatt = connected && (path == kNotifyPath || (path == kCommandPath && command));
        if (member == "GetManagedObjects" && badObjectLists-- > 0)
            say("bad object list"), reply(m);
        else if (member == "GetManagedObjects")
            send(managedObjects(m, objects())), say("objects");
        else if (path == kAdapterPath && adapter && member == "SetDiscoveryFilter")
            say("filter " + describe(m)), reply(m);
        else if (path == kAdapterPath && adapter && (powered || member != "StartDiscovery"))
            discover(m, member == "StartDiscovery");
        else if (path == kSecondAdapterPath && adapter && second)
            say(member + " hci1"), reply(m);  // a radio with nothing in range
        else if (gatt && held.contains(path))
            say("refused"), send(dbus_message_new_error(m, "org.bluez.Error.InProgress", "In Progress"));
        else if (path == kDevicePath && device && member == "Connect")
            connect(m);
        else if (gatt && path == kCommandPath && member == "WriteValue")
            o.contains("request") ? hold(m) : reply(m), write(describe(m));
        else if (gatt && path == kNotifyPath && member != "WriteValue")
            member == "StartNotify" ? hold(m) : reply(m);
        else
            send(dbus_message_new_error(m, "org.bluez.Error.NotReady", "not ready"));
        return DBUS_HANDLER_RESULT_HANDLED;
    }

    void input(const std::string& line) {
        if (line == "disconnect" || line == "power off" || line == "drop-adapter") disconnect();
        if (line.starts_with("connect ")) o["connect"] = line.substr(8);
        if (line.starts_with("power ")) {
            powered = line == "power on";
            discovering = discovering && powered;
            send(propertiesChanged(kAdapterPath, kAdapter, {{"Powered", powered}, {"Discovering", discovering}}));
        } else if (line == "drop-adapter") {
            if (device) send(interfacesRemoved(kDevicePath, {kDevice}));
            if (adapter) send(interfacesRemoved(kAdapterPath, {kAdapter}));
            adapter = device = discovering = false;
        } else if (line == "add-adapter") {
            // As bluetoothd brings adapters up: each listed off, its stored devices, then power, hci1 first.
            adapter = powered = true;
            const std::vector<std::string> order = second ? std::vector{kSecondAdapterPath, kAdapterPath}
                                                          : std::vector{kAdapterPath};
            for (const auto& path : order)
                send(interfacesAdded(path, {{kAdapter, {{"Powered", false}, {"Discovering", false}}}}));
            if (!o["start"].empty()) device = true, send(interfacesAdded(kDevicePath, deviceInterfaces()));
            for (const auto& path : order) send(propertiesChanged(path, kAdapter, {{"Powered", true}}));
        } else if (line.starts_with("lever ")) {
            lever = static_cast<uint8_t>(std::stoi(line.substr(6)));
        }
    }

    // The command characteristic listed first, though its path sorts last.
    Objects objects() {
        Objects list;
        if (adapter && second) list.push_back({kSecondAdapterPath, {{kAdapter, {{"Powered", true}}}}});
        if (adapter) list.push_back({kAdapterPath, {{kAdapter, {{"Powered", powered}, {"Discovering", discovering}}}}});
        if (device) list.push_back({kDevicePath, deviceInterfaces()});
        if (!connected) return list;
        list.push_back({kServicePath,
                        {{"org.bluez.GattService1", {{"UUID", kServiceUuid}, {"Device", ObjectPath{kDevicePath}}}}}});
        const std::vector<std::string> flags{o.contains("request") ? "write" : "write-without-response"};
        auto characteristic = [&](const std::string& uuid, const std::vector<std::string>& flagList) {
            return Interfaces{{kChar, {{"UUID", uuid}, {"Service", ObjectPath{kServicePath}}, {"Flags", flagList}}}};
        };
        if (command) list.push_back({kCommandPath, characteristic("00007343-0000-1000-8000-00805f9b34fb", flags)});
        list.push_back({kNotifyPath, characteristic("00007344-0000-1000-8000-00805f9b34fb", {"notify"})});
        return list;
    }
    Interfaces deviceInterfaces() {
        Props props{{"Address", std::string("C0:FF:EE:73:40:01")},
                    {"Name", o.contains("name") ? o["name"] : "Vemlo K1"},
                    {"Adapter", ObjectPath{kAdapterPath}},
                    {"Connected", connected},
                    {"ServicesResolved", connected},
                    {"UUIDs", std::vector<std::string>{"00001812-0000-1000-8000-00805f9b34fb", kServiceUuid}}};
        if (discovering) props.emplace_back("RSSI", int16_t{-52});
        return {{kDevice, props}};
    }

    void discover(DBusMessage* m, bool start) {
        say((discovering = start) ? "discovery on" : "discovery off");
        reply(m);
        send(propertiesChanged(kAdapterPath, kAdapter, {{"Discovering", discovering}}));
        if (discovering && !device)
            device = true, send(interfacesAdded(kDevicePath, deviceInterfaces()));
        else if (discovering && !connected)
            send(propertiesChanged(kDevicePath, kDevice, {{"RSSI", int16_t{-52}}}));
    }
    void connect(DBusMessage* m) {
        say("connect");
        if (o["connect"] == "hang") return;  // never answered
        if (o["connect"] == "fail" || !powered)
            return send(dbus_message_new_error(m, "org.bluez.Error.Failed", "le-connection-abort-by-local"));
        if (connected) return reply(m);
        connected = true;
        send(propertiesChanged(kDevicePath, kDevice, {{"Connected", true}}));
        reply(m);
        for (const auto& [path, interfaces] : objects())
            if (path.starts_with(kServicePath)) send(interfacesAdded(path, interfaces));
        send(propertiesChanged(kDevicePath, kDevice, {{"ServicesResolved", true}}));
    }
    void write(const std::string& written) {
        say("write " + written);
        if (written.starts_with("AA BB 90 ") && written.substr(11, 7) == " CC DD ")
            say("state " + std::to_string(std::stoi(written.substr(9, 2), nullptr, 16)));
        if (!written.starts_with("AA BB 00 CC DD [")) return;
        if (!notifying) return say("status request unanswered");
        // battery 87 %, signal -55 dBm, firmware 1.0, work mode 1, light mode 2, then the lever.
        const std::vector<uint8_t> status{0xAA, 0xBB, 0x00, 87, 0xC9, 1, 0, 1, 2, lever, 0xCC, 0xDD};
        send(propertiesChanged(kNotifyPath, kChar, {{"Value", status}}));
    }
    void hold(DBusMessage* m) { held[dbus_message_get_path(m)] = {dbus_message_ref(m), Clock::now() + kRoundTrip}; }
    void answerHeld(bool failed = false) {
        for (auto it = held.begin(); it != held.end();) {
            auto [m, due] = it->second;
            if (!failed && Clock::now() < due) {
                ++it;
                continue;
            }
            if (!failed && it->first == kNotifyPath) notifying = true, say("notify on");
            send(failed ? dbus_message_new_error(m, "org.bluez.Error.Failed", "Not connected")
                        : dbus_message_new_method_return(m));
            dbus_message_unref(m), it = held.erase(it);
        }
    }
    void disconnect() {
        if (!connected) return;
        const Objects gone = objects();
        connected = notifying = false;
        answerHeld(true);
        send(propertiesChanged(kDevicePath, kDevice, {{"Connected", false}, {"ServicesResolved", false}}));
        for (const auto& [path, interfaces] : gone)
            if (path.starts_with(kServicePath)) send(interfacesRemoved(path, {interfaces.at(0).first}));
        say("disconnected");
    }

    void reply(DBusMessage* m) { send(dbus_message_new_method_return(m)); }
    void send(DBusMessage* message) { dbus_connection_send(c, message, nullptr), dbus_message_unref(message); }
};

}  // namespace

int main(int argc, char** argv) {
    DBusConnection* connection = dbus_bus_get_private(DBUS_BUS_SYSTEM, nullptr);
    if (!connection || dbus_bus_request_name(connection, "org.bluez", DBUS_NAME_FLAG_DO_NOT_QUEUE, nullptr) !=
                           DBUS_REQUEST_NAME_REPLY_PRIMARY_OWNER)
        return std::fprintf(stderr, "fake-bluez-peer: cannot own org.bluez on the bus\n"), 1;
    std::map<std::string, std::string> options;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const auto eq = arg.find('=');
        options[arg.substr(2, eq - 2)] = eq == std::string::npos ? "" : arg.substr(eq + 1);
    }
    Peer peer{connection, options};
    dbus_connection_set_exit_on_disconnect(connection, FALSE);
    auto filter = [](DBusConnection*, DBusMessage* m, void* p) { return static_cast<Peer*>(p)->handle(m); };
    dbus_connection_add_filter(connection, filter, &peer, nullptr);
    say("ready");

    int busFd = -1;
    dbus_connection_get_unix_fd(connection, &busFd);
    std::string pending;
    for (ssize_t n = 1; n != 0 && dbus_connection_get_is_connected(connection);) {
        pollfd fds[2] = {{0, POLLIN, 0}, {busFd, POLLIN, 0}};
        ::poll(fds, 2, peer.held.empty() ? 100 : 5);
        peer.answerHeld();
        char buf[256];
        n = fds[0].revents & (POLLIN | POLLHUP) ? ::read(0, buf, sizeof buf) : -1;
        if (n > 0) pending.append(buf, static_cast<size_t>(n));
        for (size_t eol; (eol = pending.find('\n')) != std::string::npos; pending.erase(0, eol + 1))
            peer.input(pending.substr(0, eol));
        dbus_connection_read_write(connection, 0);
        while (dbus_connection_dispatch(connection) == DBUS_DISPATCH_DATA_REMAINS) {}
        dbus_connection_flush(connection);
    }
    dbus_connection_close(connection);
    dbus_connection_unref(connection);
    return 0;
}
