// fake-bluez-peer: bluetoothd on a private bus with an adapter and one keyboard that answers a
// status request with a status frame. It reports what it sees on standard output, one line each
// ("ready", "objects", "filter ...", "connect", "write ...", "state <n>", ...), takes commands on
// standard input ("disconnect", "power off|on", "drop-adapter", "add-adapter", "lever <n>") and
// options for the keyboard and adapter (see main).

#include "DBusBuilder.h"

#include <poll.h>
#include <unistd.h>
#include <cstdio>
#include <map>
#include <sstream>

namespace {

using namespace vemlo::test::dbus;

const std::string kAdapterPath = "/org/bluez/hci0", kDevicePath = kAdapterPath + "/dev_C0_FF_EE_73_40_01";
const std::string kServicePath = kDevicePath + "/service0010", kServiceUuid = "00007340-0000-1000-8000-00805f9b34fb";
const std::string kNotifyPath = kServicePath + "/char0011", kCommandPath = kServicePath + "/char0014";
const std::string kAdapter = "org.bluez.Adapter1", kDevice = "org.bluez.Device1";
const std::string kService = "org.bluez.GattService1", kChar = "org.bluez.GattCharacteristic1";

void say(const std::string& line) {
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
}

class Peer {
public:
    using Options = std::map<std::string, std::string>;
    Peer(DBusConnection* connection, Options options) : c_(connection), o_(std::move(options)) {
        lever_ = static_cast<uint8_t>(std::stoi(o_["lever"]));
        adapterExported_ = o_["adapter"] != "none";
        powered_ = o_["adapter"] == "on";
        deviceExported_ = adapterExported_ && o_["start"] != "scan";
        connected_ = gattExported_ = deviceExported_ && o_["start"] == "connected";
    }

    DBusHandlerResult handle(DBusMessage* m) {
        if (dbus_message_get_type(m) != DBUS_MESSAGE_TYPE_METHOD_CALL) return DBUS_HANDLER_RESULT_NOT_YET_HANDLED;
        auto text = [](const char* s) { return std::string(s ? s : ""); };
        const std::string path = text(dbus_message_get_path(m)), member = text(dbus_message_get_member(m));
        const bool isNotify = path == kNotifyPath, isCommand = path == kCommandPath && !o_.contains("no-command");
        if (member == "GetManagedObjects")
            managedObjects(m);
        else if (path == kAdapterPath && adapterExported_)
            adapterMethod(m, member);
        else if (path == kDevicePath && deviceExported_ && member == "Connect")
            connect(m);
        else if (gattExported_ && (isNotify || isCommand))
            characteristicMethod(m, isNotify, member);
        else
            send(dbus_message_new_error(m, DBUS_ERROR_UNKNOWN_METHOD, "no such method"));
        return DBUS_HANDLER_RESULT_HANDLED;
    }

    void command(const std::string& line) {
        if (line == "disconnect" || line == "power off" || line == "drop-adapter") disconnect();
        if (line == "power off" || line == "power on") {
            powered_ = line == "power on";
            discovering_ = discovering_ && powered_;
            send(propertiesChanged(kAdapterPath, kAdapter, {{"Powered", powered_}, {"Discovering", discovering_}}));
        } else if (line == "drop-adapter") {
            if (deviceExported_) send(interfacesRemoved(kDevicePath, {kDevice}));
            if (adapterExported_) send(interfacesRemoved(kAdapterPath, {kAdapter}));
            adapterExported_ = deviceExported_ = discovering_ = false;
        } else if (line == "add-adapter") {
            adapterExported_ = powered_ = true;
            send(interfacesAdded(kAdapterPath, adapterInterfaces()));
            if (o_["start"] != "scan") exportDevice();
        } else if (line.rfind("lever ", 0) == 0) {
            lever_ = static_cast<uint8_t>(std::stoi(line.substr(6)));
        }
    }

private:
    Interfaces adapterInterfaces() const {
        return {{kAdapter, {{"Powered", powered_}, {"Discovering", discovering_}}}};
    }
    Interfaces deviceInterfaces() {
        Props props{{"Address", std::string("C0:FF:EE:73:40:01")},
                    {"Name", o_["name"]},
                    {"Adapter", ObjectPath{kAdapterPath}},
                    {"Connected", connected_},
                    {"ServicesResolved", connected_},
                    {"UUIDs", std::vector<std::string>{"00001812-0000-1000-8000-00805f9b34fb", kServiceUuid}}};
        if (discovering_) props.emplace_back("RSSI", int16_t{-52});
        return {{kDevice, props}};
    }
    // The GATT objects in the order the keyboard lists them.
    Objects gattObjects() {
        Objects objects{{kServicePath, {{kService, {{"UUID", kServiceUuid}, {"Device", ObjectPath{kDevicePath}}}}}}};
        auto add = [&](const std::string& path, const std::string& uuid, const std::string& flagList) {
            std::vector<std::string> flags;
            std::stringstream list(flagList);
            for (std::string flag; std::getline(list, flag, ',');) flags.push_back(flag);
            objects.push_back(
                {path, {{kChar, {{"UUID", uuid}, {"Service", ObjectPath{kServicePath}}, {"Flags", flags}}}}});
        };
        const std::string notifyUuid = "00007344-0000-1000-8000-00805f9b34fb";
        if (o_["order"] != "command-first") add(kNotifyPath, notifyUuid, "notify");
        if (!o_.contains("no-command")) add(kCommandPath, "00007343-0000-1000-8000-00805f9b34fb", o_["command-flags"]);
        if (o_["order"] == "command-first") add(kNotifyPath, notifyUuid, "notify");
        return objects;
    }

    void managedObjects(DBusMessage* m) {
        if (badObjectLists_++ < std::stoi(o_["bad-object-lists"])) return say("bad object list"), reply(m);
        Objects objects;
        if (adapterExported_) objects.push_back({kAdapterPath, adapterInterfaces()});
        if (deviceExported_) objects.push_back({kDevicePath, deviceInterfaces()});
        for (auto& object : gattExported_ ? gattObjects() : Objects{}) objects.push_back(object);
        send(vemlo::test::dbus::managedObjects(m, objects));
        say("objects");
    }

    void adapterMethod(DBusMessage* m, const std::string& member) {
        if (member == "SetDiscoveryFilter") return say("filter " + describe(m)), reply(m);
        if (!powered_ && member == "StartDiscovery")
            return send(dbus_message_new_error(m, "org.bluez.Error.NotReady", "Resource Not Ready"));
        discovering_ = member == "StartDiscovery";
        say(discovering_ ? "discovery on" : "discovery off");
        reply(m);
        send(propertiesChanged(kAdapterPath, kAdapter, {{"Discovering", discovering_}}));
        if (discovering_ && !deviceExported_)
            exportDevice();
        else if (discovering_ && !connected_)
            send(propertiesChanged(kDevicePath, kDevice, {{"RSSI", int16_t{-52}}}));
    }

    void connect(DBusMessage* m) {
        say("connect");
        if (o_["connect"] == "hang") return;  // never answered
        const char* error = o_["connect"] == "fail" ? "le-connection-abort-by-local"
                            : !powered_             ? "not ready"
                                                    : nullptr;
        if (error) return send(dbus_message_new_error(m, "org.bluez.Error.Failed", error));
        if (connected_) return reply(m);
        connected_ = gattExported_ = true;
        send(propertiesChanged(kDevicePath, kDevice, {{"Connected", true}}));
        reply(m);
        for (const auto& [path, interfaces] : gattObjects()) send(interfacesAdded(path, interfaces));
        send(propertiesChanged(kDevicePath, kDevice, {{"ServicesResolved", true}}));
    }

    void characteristicMethod(DBusMessage* m, bool isNotify, const std::string& member) {
        if (isNotify != (member != "WriteValue"))
            return send(dbus_message_new_error(m, "org.bluez.Error.NotPermitted", "not permitted"));
        if (isNotify) {
            notifying_ = member == "StartNotify";
            if (notifying_) say("notify on");
            return reply(m);
        }
        const std::string written = describe(m);
        say("write " + written);
        reply(m);
        if (written.rfind("AA BB 90 ", 0) == 0 && written.substr(11, 7) == " CC DD ")
            say("state " + std::to_string(std::stoi(written.substr(9, 2), nullptr, 16)));
        if (written.rfind("AA BB 00 CC DD [", 0) != 0 || !notifying_) return;
        // battery 87 %, signal -55 dBm, firmware 1.0, work mode 1, light mode 2, then the lever.
        const std::vector<uint8_t> status{0xAA, 0xBB, 0x00, 87, 0xC9, 1, 0, 1, 2, lever_, 0xCC, 0xDD};
        send(propertiesChanged(kNotifyPath, kChar, {{"Value", status}}));
    }

    void exportDevice() {
        if (!deviceExported_ && adapterExported_) send(interfacesAdded(kDevicePath, deviceInterfaces()));
        deviceExported_ = adapterExported_;
    }
    void disconnect() {
        if (!connected_) return;
        connected_ = notifying_ = gattExported_ = false;
        send(propertiesChanged(kDevicePath, kDevice, {{"Connected", false}, {"ServicesResolved", false}}));
        if (!o_.contains("no-command")) send(interfacesRemoved(kCommandPath, {kChar}));
        send(interfacesRemoved(kNotifyPath, {kChar}));
        send(interfacesRemoved(kServicePath, {kService}));
        say("disconnected");
    }

    void reply(DBusMessage* m) { send(dbus_message_new_method_return(m)); }
    void send(DBusMessage* message) {
        dbus_connection_send(c_, message, nullptr);
        dbus_message_unref(message);
    }

    DBusConnection* c_;
    Options o_;
    uint8_t lever_;
    int badObjectLists_ = 0;
    bool adapterExported_, powered_, deviceExported_, connected_, gattExported_, discovering_ = false,
                                                                                 notifying_ = false;
};

}  // namespace

int main(int argc, char** argv) {
    Peer::Options options{{"start", "scan"},        {"name", "Vemlo K1"}, {"connect", "ok"},
                          {"adapter", "on"},        {"lever", "0"},       {"command-flags", "write-without-response"},
                          {"bad-object-lists", "0"}};
    // --start=scan|known|connected: the device appears when discovery starts, exists, or is connected
    // by the system. --order=command-first, --connect=hang|fail, --no-command, --adapter=off|none,
    // --bad-object-lists=N: the first N object lists asked for come back without the list.
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const auto eq = arg.find('=');
        options[arg.substr(2, eq - 2)] = eq == std::string::npos ? "" : arg.substr(eq + 1);
    }
    DBusConnection* connection = dbus_bus_get_private(DBUS_BUS_SYSTEM, nullptr);
    if (!connection || dbus_bus_request_name(connection, "org.bluez", DBUS_NAME_FLAG_DO_NOT_QUEUE, nullptr) !=
                           DBUS_REQUEST_NAME_REPLY_PRIMARY_OWNER)
        return std::fprintf(stderr, "fake-bluez-peer: cannot own org.bluez on the bus\n"), 1;
    dbus_connection_set_exit_on_disconnect(connection, FALSE);
    Peer peer(connection, options);
    auto filter = [](DBusConnection*, DBusMessage* m, void* p) { return static_cast<Peer*>(p)->handle(m); };
    dbus_connection_add_filter(connection, filter, &peer, nullptr);
    say("ready");

    int busFd = -1;
    dbus_connection_get_unix_fd(connection, &busFd);
    std::string pending;
    for (bool running = true; running && dbus_connection_get_is_connected(connection);) {
        pollfd fds[2] = {{0, POLLIN, 0}, {busFd, POLLIN, 0}};
        ::poll(fds, 2, 100);
        char buf[256];
        const ssize_t n = fds[0].revents & (POLLIN | POLLHUP) ? ::read(0, buf, sizeof buf) : -1;
        if (n == 0) running = false;
        if (n > 0) pending.append(buf, static_cast<size_t>(n));
        for (size_t eol; (eol = pending.find('\n')) != std::string::npos; pending.erase(0, eol + 1))
            peer.command(pending.substr(0, eol));
        dbus_connection_read_write(connection, 0);
        while (dbus_connection_dispatch(connection) == DBUS_DISPATCH_DATA_REMAINS) {}
        dbus_connection_flush(connection);
    }
    dbus_connection_close(connection);
    dbus_connection_unref(connection);
    return 0;
}
