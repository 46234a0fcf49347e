// fake-bluez-peer: bluetoothd on a private bus, with an adapter and one keyboard (service 7340,
// notify characteristic 7344, command characteristic 7343) that answers a status request
// (AA BB 00 CC DD) with a status frame as a Value change of 7344 and records state frames.
// It reports what it sees on standard output, one line each ("ready", "objects", "filter ...",
// "discovery on", "connect", "notify on", "write <arguments>", "state <n>", ...), and takes
// commands on standard input: "disconnect", "power off", "power on", "drop-adapter",
// "add-adapter", "lever <n>". End of input ends it.
// Options: --start=scan|known|connected (the device appears when discovery starts, exists, or is
// connected by the system), --name=, --lever=, --order=command-first, --connect=hang|fail,
// --command-flags=a,b, --no-command, --garbage (malformed values before every status frame),
// --adapter=off|none, --bad-object-lists=N (the first N object lists are malformed).

#include "DBusBuilder.h"

#include <poll.h>
#include <unistd.h>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

using namespace vemlo::test::dbus;

const std::string kAdapterPath = "/org/bluez/hci0";
const std::string kDevicePath = kAdapterPath + "/dev_C0_FF_EE_73_40_01";
const std::string kServicePath = kDevicePath + "/service0010";
const std::string kNotifyPath = kServicePath + "/char0011";
const std::string kCommandPath = kServicePath + "/char0014";
const std::string kAdapterIface = "org.bluez.Adapter1";
const std::string kDeviceIface = "org.bluez.Device1";
const std::string kCharIface = "org.bluez.GattCharacteristic1";
const std::string kServiceUuid = "00007340-0000-1000-8000-00805f9b34fb";

struct Options {
    std::string start = "scan", name = "Vemlo K1", connect = "ok", adapter = "on", order, flags = "write-without-response";
    int lever = 0, badObjectLists = 0;
    bool noCommand = false, garbage = false;
};

void say(const std::string& line) {
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
}

std::vector<std::string> split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    for (size_t start = 0, end; start <= text.size(); start = end + 1) {
        end = text.find(separator, start);
        if (end == std::string::npos) end = text.size();
        if (end > start) parts.push_back(text.substr(start, end - start));
    }
    return parts;
}

class Peer {
public:
    Peer(DBusConnection* connection, Options options) : c_(connection), o_(std::move(options)), lever_(static_cast<uint8_t>(o_.lever)) {
        adapterExported_ = o_.adapter != "none";
        powered_ = o_.adapter == "on";
        deviceExported_ = adapterExported_ && o_.start != "scan";
        connected_ = resolved_ = gattExported_ = deviceExported_ && o_.start == "connected";
    }

    DBusHandlerResult handle(DBusMessage* m) {
        if (dbus_message_get_type(m) != DBUS_MESSAGE_TYPE_METHOD_CALL) return DBUS_HANDLER_RESULT_NOT_YET_HANDLED;
        auto text = [](const char* s) { return std::string(s ? s : ""); };
        const std::string path = text(dbus_message_get_path(m)), iface = text(dbus_message_get_interface(m));
        const std::string member = text(dbus_message_get_member(m));
        if (path == "/" && member == "GetManagedObjects")
            managedObjects(m);
        else if (path == kAdapterPath && adapterExported_ && iface == kAdapterIface)
            adapterMethod(m, member);
        else if (path == kDevicePath && deviceExported_ && iface == kDeviceIface && member == "Connect")
            connect(m);
        else if (gattExported_ && iface == kCharIface && (path == kNotifyPath || (!o_.noCommand && path == kCommandPath)))
            characteristicMethod(m, path == kNotifyPath, member);
        else
            error(m, DBUS_ERROR_UNKNOWN_METHOD, "no such method");
        return DBUS_HANDLER_RESULT_HANDLED;
    }

    void command(const std::string& line) {
        auto words = split(line, ' ');
        if (line == "disconnect") {
            disconnectDevice();
        } else if (line == "power off" || line == "power on") {
            if (line == "power off") disconnectDevice();
            powered_ = line == "power on";
            discovering_ = discovering_ && powered_;
            send(propertiesChanged(kAdapterPath, kAdapterIface, {{"Powered", powered_}, {"Discovering", discovering_}}));
            say(powered_ ? "powered on" : "powered off");
        } else if (line == "drop-adapter") {
            disconnectDevice();
            if (deviceExported_) send(interfacesRemoved(kDevicePath, {kDeviceIface}));
            if (adapterExported_) send(interfacesRemoved(kAdapterPath, {kAdapterIface}));
            adapterExported_ = deviceExported_ = discovering_ = false;
            say("adapter dropped");
        } else if (line == "add-adapter") {
            adapterExported_ = powered_ = true;
            send(interfacesAdded(kAdapterPath, adapterInterfaces()));
            if (o_.start != "scan") exportDevice();
            say("adapter added");
        } else if (words.size() == 2 && words[0] == "lever") {
            lever_ = static_cast<uint8_t>(std::stoi(words[1]));
        }
    }

private:
    Interfaces adapterInterfaces() const {
        return {{kAdapterIface, {{"Address", std::string("00:1A:7D:DA:71:13")}, {"Powered", powered_},
                                 {"Discovering", discovering_}}}};
    }
    Interfaces deviceInterfaces() const {
        Props props{{"Address", std::string("C0:FF:EE:73:40:01")},
                    {"Name", o_.name},
                    {"Adapter", ObjectPath{kAdapterPath}},
                    {"Connected", connected_},
                    {"ServicesResolved", resolved_},
                    {"UUIDs", std::vector<std::string>{"00001812-0000-1000-8000-00805f9b34fb", kServiceUuid}}};
        if (discovering_) props.emplace_back("RSSI", int16_t{-52});
        return {{kDeviceIface, props}};
    }
    // The GATT objects in the order the keyboard lists them.
    Objects gattObjects() const {
        Objects objects{{kServicePath,
                         {{"org.bluez.GattService1", {{"UUID", kServiceUuid}, {"Device", ObjectPath{kDevicePath}}}}}}};
        auto characteristic = [&](const std::string& path, const char* uuid, std::vector<std::string> flags) {
            objects.push_back({path, {{kCharIface, {{"UUID", std::string(uuid)}, {"Service", ObjectPath{kServicePath}},
                                                    {"Flags", std::move(flags)}}}}});
        };
        if (o_.order != "command-first") characteristic(kNotifyPath, "00007344-0000-1000-8000-00805f9b34fb", {"notify"});
        if (!o_.noCommand) characteristic(kCommandPath, "00007343-0000-1000-8000-00805f9b34fb", split(o_.flags, ','));
        if (o_.order == "command-first") characteristic(kNotifyPath, "00007344-0000-1000-8000-00805f9b34fb", {"notify"});
        return objects;
    }

    void managedObjects(DBusMessage* m) {
        if (badObjectLists_ < o_.badObjectLists) {
            ++badObjectLists_;
            say("bad object list");
            return reply(m);  // without the list
        }
        Objects objects;
        if (adapterExported_) objects.push_back({kAdapterPath, adapterInterfaces()});
        if (deviceExported_) objects.push_back({kDevicePath, deviceInterfaces()});
        if (gattExported_)
            for (auto& object : gattObjects()) objects.push_back(object);
        send(vemlo::test::dbus::managedObjects(m, objects));
        say("objects");
    }

    void adapterMethod(DBusMessage* m, const std::string& member) {
        if (member == "SetDiscoveryFilter") {
            say("filter " + describe(m));
            reply(m);
        } else if (member == "StartDiscovery" && !powered_) {
            say("discovery refused");
            error(m, "org.bluez.Error.NotReady", "Resource Not Ready");
        } else if (member == "StartDiscovery" || member == "StopDiscovery") {
            discovering_ = member == "StartDiscovery";
            say(discovering_ ? "discovery on" : "discovery off");
            reply(m);
            send(propertiesChanged(kAdapterPath, kAdapterIface, {{"Discovering", discovering_}}));
            if (!discovering_) return;
            if (!deviceExported_)
                exportDevice();
            else if (!connected_)
                send(propertiesChanged(kDevicePath, kDeviceIface, {{"RSSI", int16_t{-52}}}));
        } else {
            error(m, DBUS_ERROR_UNKNOWN_METHOD, "no such method");
        }
    }

    void connect(DBusMessage* m) {
        say("connect");
        if (o_.connect == "hang") return;  // never answered
        if (o_.connect == "fail") return error(m, "org.bluez.Error.Failed", "le-connection-abort-by-local");
        if (!powered_) return error(m, "org.bluez.Error.NotReady", "Resource Not Ready");
        if (connected_) return reply(m);
        connected_ = true;
        send(propertiesChanged(kDevicePath, kDeviceIface, {{"Connected", true}}));
        reply(m);
        if (!gattExported_)
            for (const auto& [path, interfaces] : gattObjects()) send(interfacesAdded(path, interfaces));
        gattExported_ = resolved_ = true;
        send(propertiesChanged(kDevicePath, kDeviceIface, {{"ServicesResolved", true}}));
    }

    void characteristicMethod(DBusMessage* m, bool isNotify, const std::string& member) {
        if (member == "StartNotify" && !isNotify) return error(m, "org.bluez.Error.NotSupported", "not supported");
        if (member == "WriteValue" && isNotify) return error(m, "org.bluez.Error.NotPermitted", "not permitted");
        if (member == "StartNotify" || member == "StopNotify") {
            notifying_ = member == "StartNotify";
            if (notifying_) say("notify on");
            return reply(m);
        }
        if (member != "WriteValue") return error(m, DBUS_ERROR_UNKNOWN_METHOD, "no such method");
        const std::string written = describe(m);
        say("write " + written);
        reply(m);
        if (written.rfind("AA BB 00 CC DD [", 0) == 0 && notifying_) {
            if (o_.garbage) {
                for (Value value : {Value{std::string("not bytes")}, Value{std::vector<uint8_t>{0xAA, 0xBB}},
                                    Value{std::vector<uint8_t>{0xAA, 0xBB, 0x00, 1, 2, 3, 4, 5, 6, 7, 0xCC, 0xDE}}})
                    send(propertiesChanged(kNotifyPath, kCharIface, {{"Value", value}}));
                // An integer where the changed properties belong.
                DBusMessage* bad = dbus_message_new_signal(kNotifyPath.c_str(), DBUS_INTERFACE_PROPERTIES, "PropertiesChanged");
                const char* iface = kCharIface.c_str();
                const dbus_int32_t junk = 5;
                dbus_message_append_args(bad, DBUS_TYPE_STRING, &iface, DBUS_TYPE_INT32, &junk, DBUS_TYPE_INVALID);
                send(bad);
            }
            // battery 87 %, signal -55 dBm, firmware 1.0, work mode 1, light mode 2, then the lever.
            const std::vector<uint8_t> status{0xAA, 0xBB, 0x00, 87, 0xC9, 1, 0, 1, 2, lever_, 0xCC, 0xDD};
            send(propertiesChanged(kNotifyPath, kCharIface, {{"Value", status}}));
        } else if (written.rfind("AA BB 90 ", 0) == 0 && written.substr(11, 7) == " CC DD ") {
            say("state " + std::to_string(std::stoi(written.substr(9, 2), nullptr, 16)));
        }
    }

    void exportDevice() {
        if (deviceExported_ || !adapterExported_) return;
        deviceExported_ = true;
        send(interfacesAdded(kDevicePath, deviceInterfaces()));
    }
    void disconnectDevice() {
        if (!connected_) return;
        connected_ = resolved_ = notifying_ = false;
        send(propertiesChanged(kDevicePath, kDeviceIface, {{"Connected", false}, {"ServicesResolved", false}}));
        if (gattExported_) {
            if (!o_.noCommand) send(interfacesRemoved(kCommandPath, {kCharIface}));
            send(interfacesRemoved(kNotifyPath, {kCharIface}));
            send(interfacesRemoved(kServicePath, {"org.bluez.GattService1"}));
            gattExported_ = false;
        }
        say("disconnected");
    }

    void reply(DBusMessage* m) { send(dbus_message_new_method_return(m)); }
    void error(DBusMessage* m, const char* name, const char* text) { send(dbus_message_new_error(m, name, text)); }
    void send(DBusMessage* message) {
        dbus_connection_send(c_, message, nullptr);
        dbus_message_unref(message);
    }

    DBusConnection* c_;
    Options o_;
    uint8_t lever_;
    int badObjectLists_ = 0;
    bool adapterExported_, powered_, deviceExported_, connected_, resolved_, gattExported_;
    bool discovering_ = false, notifying_ = false;
};

Options parseOptions(int argc, char** argv) {
    Options o;
    const std::pair<const char*, std::string*> texts[] = {{"--start=", &o.start},     {"--name=", &o.name},
                                                         {"--connect=", &o.connect}, {"--adapter=", &o.adapter},
                                                         {"--order=", &o.order},     {"--command-flags=", &o.flags}};
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        for (const auto& [prefix, field] : texts)
            if (arg.rfind(prefix, 0) == 0) *field = arg.substr(std::strlen(prefix));
        if (arg.rfind("--lever=", 0) == 0) o.lever = std::stoi(arg.substr(8));
        if (arg.rfind("--bad-object-lists=", 0) == 0) o.badObjectLists = std::stoi(arg.substr(19));
        o.noCommand |= arg == "--no-command";
        o.garbage |= arg == "--garbage";
    }
    return o;
}

}  // namespace

int main(int argc, char** argv) {
    DBusError error;
    dbus_error_init(&error);
    DBusConnection* connection = dbus_bus_get_private(DBUS_BUS_SYSTEM, &error);
    if (!connection) {
        std::fprintf(stderr, "fake-bluez-peer: %s\n", error.message);
        return 1;
    }
    dbus_connection_set_exit_on_disconnect(connection, FALSE);
    if (dbus_bus_request_name(connection, "org.bluez", DBUS_NAME_FLAG_DO_NOT_QUEUE, &error) !=
        DBUS_REQUEST_NAME_REPLY_PRIMARY_OWNER) {
        std::fprintf(stderr, "fake-bluez-peer: cannot own org.bluez\n");
        return 1;
    }
    Peer peer(connection, parseOptions(argc, argv));
    dbus_connection_add_filter(
        connection, [](DBusConnection*, DBusMessage* m, void* p) { return static_cast<Peer*>(p)->handle(m); }, &peer,
        nullptr);
    say("ready");

    int busFd = -1;
    dbus_connection_get_unix_fd(connection, &busFd);
    std::string pending;
    for (bool running = true; running && dbus_connection_get_is_connected(connection);) {
        pollfd fds[2] = {{0, POLLIN, 0}, {busFd, POLLIN, 0}};
        ::poll(fds, 2, 100);
        if (fds[0].revents & (POLLIN | POLLHUP)) {
            char buf[256];
            const ssize_t n = ::read(0, buf, sizeof buf);
            if (n <= 0) running = false;
            if (n > 0) pending.append(buf, static_cast<size_t>(n));
            for (size_t eol; (eol = pending.find('\n')) != std::string::npos; pending.erase(0, eol + 1))
                peer.command(pending.substr(0, eol));
        }
        dbus_connection_read_write(connection, 0);
        while (dbus_connection_dispatch(connection) == DBUS_DISPATCH_DATA_REMAINS) {}
        dbus_connection_flush(connection);
    }
    dbus_connection_close(connection);
    dbus_connection_unref(connection);
    return 0;
}
