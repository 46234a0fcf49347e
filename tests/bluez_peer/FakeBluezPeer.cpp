// fake-bluez-peer: stands in for bluetoothd on a private bus. It owns "org.bluez" and exports an
// adapter and one keyboard with service 7340, a notify characteristic 7344 and a command
// characteristic 7343, and it answers frames the way the keyboard does: a status request
// (AA BB 00 CC DD) gets a 12-byte status frame as a Value change of 7344; a state frame
// (AA BB 90 NN CC DD) is recorded.
//
// It reports what it sees, one line each, on standard output ("ready", "filter ...",
// "discovery on", "connect", "notify on", "write <hex> <type>", "state <n>", ...) and takes
// commands, one per line, on standard input: "disconnect", "power off", "power on",
// "drop-adapter", "add-adapter", "lever <n>". End of input ends it.
//
// Options: --start=scan|known|connected (the device appears only when discovery starts, exists
// from the start, or is connected by the system from the start), --name=, --lever=,
// --order=notify-first|command-first, --connect=ok|hang|fail, --command-flags=a,b,
// --no-command, --garbage (malformed values before every status frame), --adapter=on|off|none,
// --bad-object-lists=N (the first N object lists asked for come back malformed).

#include <dbus/dbus.h>

#include <poll.h>
#include <unistd.h>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

namespace {

struct ObjectPath {
    std::string path;
};
using Value = std::variant<bool, int16_t, std::string, ObjectPath, std::vector<std::string>, std::vector<uint8_t>>;
using Props = std::vector<std::pair<std::string, Value>>;
using Interfaces = std::vector<std::pair<std::string, Props>>;

const char* kAdapterPath = "/org/bluez/hci0";
const std::string kAddress = "C0:FF:EE:73:40:01";
const std::string kServiceUuid = "00007340-0000-1000-8000-00805f9b34fb";
const std::string kCommandUuid = "00007343-0000-1000-8000-00805f9b34fb";
const std::string kNotifyUuid = "00007344-0000-1000-8000-00805f9b34fb";
const std::string kHidUuid = "00001812-0000-1000-8000-00805f9b34fb";

struct Options {
    std::string start = "scan";
    std::string name = "Vemlo K1";
    uint8_t lever = 0;
    bool notifyFirst = true;
    std::string connect = "ok";
    std::vector<std::string> commandFlags{"write-without-response"};
    bool hasCommand = true;
    bool garbage = false;
    std::string adapter = "on";
    int badObjectLists = 0;
};

void say(const std::string& line) {
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
}

std::string hex(const std::vector<uint8_t>& bytes) {
    std::string out;
    char digits[4];
    for (size_t i = 0; i < bytes.size(); ++i) {
        std::snprintf(digits, sizeof digits, i ? " %02X" : "%02X", bytes[i]);
        out += digits;
    }
    return out;
}

std::vector<std::string> split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find(separator, start);
        if (end == std::string::npos) end = text.size();
        if (end > start) parts.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return parts;
}

void appendValue(DBusMessageIter* parent, const Value& value) {
    DBusMessageIter variant, array;
    if (auto* b = std::get_if<bool>(&value)) {
        dbus_bool_t v = *b;
        dbus_message_iter_open_container(parent, DBUS_TYPE_VARIANT, "b", &variant);
        dbus_message_iter_append_basic(&variant, DBUS_TYPE_BOOLEAN, &v);
    } else if (auto* n = std::get_if<int16_t>(&value)) {
        dbus_int16_t v = *n;
        dbus_message_iter_open_container(parent, DBUS_TYPE_VARIANT, "n", &variant);
        dbus_message_iter_append_basic(&variant, DBUS_TYPE_INT16, &v);
    } else if (auto* s = std::get_if<std::string>(&value)) {
        const char* v = s->c_str();
        dbus_message_iter_open_container(parent, DBUS_TYPE_VARIANT, "s", &variant);
        dbus_message_iter_append_basic(&variant, DBUS_TYPE_STRING, &v);
    } else if (auto* o = std::get_if<ObjectPath>(&value)) {
        const char* v = o->path.c_str();
        dbus_message_iter_open_container(parent, DBUS_TYPE_VARIANT, "o", &variant);
        dbus_message_iter_append_basic(&variant, DBUS_TYPE_OBJECT_PATH, &v);
    } else if (auto* list = std::get_if<std::vector<std::string>>(&value)) {
        dbus_message_iter_open_container(parent, DBUS_TYPE_VARIANT, "as", &variant);
        dbus_message_iter_open_container(&variant, DBUS_TYPE_ARRAY, "s", &array);
        for (const auto& item : *list) {
            const char* v = item.c_str();
            dbus_message_iter_append_basic(&array, DBUS_TYPE_STRING, &v);
        }
        dbus_message_iter_close_container(&variant, &array);
    } else if (auto* bytes = std::get_if<std::vector<uint8_t>>(&value)) {
        dbus_message_iter_open_container(parent, DBUS_TYPE_VARIANT, "ay", &variant);
        dbus_message_iter_open_container(&variant, DBUS_TYPE_ARRAY, "y", &array);
        const uint8_t* data = bytes->data();
        dbus_message_iter_append_fixed_array(&array, DBUS_TYPE_BYTE, &data, static_cast<int>(bytes->size()));
        dbus_message_iter_close_container(&variant, &array);
    }
    dbus_message_iter_close_container(parent, &variant);
}

void appendProps(DBusMessageIter* parent, const Props& props) {
    DBusMessageIter dict, entry;
    dbus_message_iter_open_container(parent, DBUS_TYPE_ARRAY, "{sv}", &dict);
    for (const auto& [key, value] : props) {
        dbus_message_iter_open_container(&dict, DBUS_TYPE_DICT_ENTRY, nullptr, &entry);
        const char* k = key.c_str();
        dbus_message_iter_append_basic(&entry, DBUS_TYPE_STRING, &k);
        appendValue(&entry, value);
        dbus_message_iter_close_container(&dict, &entry);
    }
    dbus_message_iter_close_container(parent, &dict);
}

void appendInterfaces(DBusMessageIter* parent, const Interfaces& interfaces) {
    DBusMessageIter dict, entry;
    dbus_message_iter_open_container(parent, DBUS_TYPE_ARRAY, "{sa{sv}}", &dict);
    for (const auto& [name, props] : interfaces) {
        dbus_message_iter_open_container(&dict, DBUS_TYPE_DICT_ENTRY, nullptr, &entry);
        const char* n = name.c_str();
        dbus_message_iter_append_basic(&entry, DBUS_TYPE_STRING, &n);
        appendProps(&entry, props);
        dbus_message_iter_close_container(&dict, &entry);
    }
    dbus_message_iter_close_container(parent, &dict);
}

class Peer {
public:
    Peer(DBusConnection* connection, Options options)
        : c_(connection), o_(std::move(options)), lever_(o_.lever), badObjectLists_(o_.badObjectLists) {
        std::string dev = kAddress;
        for (char& ch : dev)
            if (ch == ':') ch = '_';
        devicePath_ = std::string(kAdapterPath) + "/dev_" + dev;
        servicePath_ = devicePath_ + "/service0010";
        notifyPath_ = servicePath_ + "/char0011";
        commandPath_ = servicePath_ + "/char0014";
        adapterExported_ = o_.adapter != "none";
        powered_ = o_.adapter == "on";
        deviceExported_ = adapterExported_ && o_.start != "scan";
        if (deviceExported_ && o_.start == "connected") {
            connected_ = resolved_ = gattExported_ = true;
        }
    }

    DBusHandlerResult handle(DBusMessage* m) {
        if (dbus_message_get_type(m) != DBUS_MESSAGE_TYPE_METHOD_CALL) return DBUS_HANDLER_RESULT_NOT_YET_HANDLED;
        const std::string path = dbus_message_get_path(m) ? dbus_message_get_path(m) : "";
        const std::string iface = dbus_message_get_interface(m) ? dbus_message_get_interface(m) : "";
        const std::string member = dbus_message_get_member(m) ? dbus_message_get_member(m) : "";

        if (path == "/" && iface == "org.freedesktop.DBus.ObjectManager" && member == "GetManagedObjects") {
            managedObjects(m);
        } else if (path == kAdapterPath && adapterExported_ && iface == "org.bluez.Adapter1") {
            adapterMethod(m, member);
        } else if (path == devicePath_ && deviceExported_ && iface == "org.bluez.Device1") {
            deviceMethod(m, member);
        } else if (gattExported_ && iface == "org.bluez.GattCharacteristic1" &&
                   (path == notifyPath_ || (o_.hasCommand && path == commandPath_))) {
            characteristicMethod(m, path, member);
        } else {
            error(m, DBUS_ERROR_UNKNOWN_METHOD, "no such method");
        }
        return DBUS_HANDLER_RESULT_HANDLED;
    }

    void command(const std::string& line) {
        auto words = split(line, ' ');
        if (words.empty()) return;
        if (words[0] == "disconnect") {
            disconnectDevice();
        } else if (line == "power off") {
            disconnectDevice();
            powered_ = false;
            discovering_ = false;
            changed(kAdapterPath, "org.bluez.Adapter1", {{"Powered", false}, {"Discovering", false}});
            say("powered off");
        } else if (line == "power on") {
            powered_ = true;
            changed(kAdapterPath, "org.bluez.Adapter1", {{"Powered", true}});
            say("powered on");
        } else if (words[0] == "drop-adapter") {
            disconnectDevice();
            if (deviceExported_) removed(devicePath_, {"org.bluez.Device1"});
            deviceExported_ = false;
            if (adapterExported_) removed(kAdapterPath, {"org.bluez.Adapter1"});
            adapterExported_ = false;
            discovering_ = false;
            say("adapter dropped");
        } else if (words[0] == "add-adapter") {
            adapterExported_ = true;
            powered_ = true;
            added(kAdapterPath, adapterInterfaces());
            if (o_.start != "scan") exportDevice();
            say("adapter added");
        } else if (words[0] == "lever" && words.size() == 2) {
            lever_ = static_cast<uint8_t>(std::stoi(words[1]));
        }
    }

private:
    Interfaces adapterInterfaces() const {
        return {{"org.bluez.Adapter1",
                 {{"Address", std::string("00:1A:7D:DA:71:13")},
                  {"Name", std::string("fake-hci0")},
                  {"Powered", powered_},
                  {"Discovering", discovering_}}}};
    }
    Interfaces deviceInterfaces() const {
        Props props{{"Address", kAddress},
                    {"AddressType", std::string("random")},
                    {"Name", o_.name},
                    {"Alias", o_.name},
                    {"Adapter", ObjectPath{kAdapterPath}},
                    {"Paired", o_.start != "scan"},
                    {"Connected", connected_},
                    {"ServicesResolved", resolved_},
                    {"UUIDs", std::vector<std::string>{kHidUuid, kServiceUuid}}};
        if (discovering_) props.emplace_back("RSSI", int16_t{-52});
        return {{"org.bluez.Device1", props}};
    }
    // The GATT objects in the order the keyboard lists them.
    std::vector<std::pair<std::string, Interfaces>> gattObjects() const {
        std::vector<std::pair<std::string, Interfaces>> objects;
        objects.push_back({servicePath_,
                           {{"org.bluez.GattService1",
                             {{"UUID", kServiceUuid}, {"Device", ObjectPath{devicePath_}}, {"Primary", true}}}}});
        std::pair<std::string, Interfaces> notify{notifyPath_,
                                                  {{"org.bluez.GattCharacteristic1",
                                                    {{"UUID", kNotifyUuid},
                                                     {"Service", ObjectPath{servicePath_}},
                                                     {"Flags", std::vector<std::string>{"notify"}},
                                                     {"Notifying", notifying_}}}}};
        std::pair<std::string, Interfaces> command{
            commandPath_,
            {{"org.bluez.GattCharacteristic1",
              {{"UUID", kCommandUuid}, {"Service", ObjectPath{servicePath_}}, {"Flags", o_.commandFlags}}}}};
        if (o_.notifyFirst) {
            objects.push_back(notify);
            if (o_.hasCommand) objects.push_back(command);
        } else {
            if (o_.hasCommand) objects.push_back(command);
            objects.push_back(notify);
        }
        return objects;
    }

    void managedObjects(DBusMessage* m) {
        if (badObjectLists_ > 0) {
            --badObjectLists_;
            say("bad object list");
            DBusMessage* bad = dbus_message_new_method_return(m);
            const char* text = "not an object list";
            dbus_message_append_args(bad, DBUS_TYPE_STRING, &text, DBUS_TYPE_INVALID);
            return send(bad);
        }
        std::vector<std::pair<std::string, Interfaces>> objects;
        if (adapterExported_) objects.push_back({kAdapterPath, adapterInterfaces()});
        if (deviceExported_) objects.push_back({devicePath_, deviceInterfaces()});
        if (gattExported_)
            for (auto& object : gattObjects()) objects.push_back(object);
        DBusMessage* reply = dbus_message_new_method_return(m);
        DBusMessageIter it, dict, entry;
        dbus_message_iter_init_append(reply, &it);
        dbus_message_iter_open_container(&it, DBUS_TYPE_ARRAY, "{oa{sa{sv}}}", &dict);
        for (const auto& [path, interfaces] : objects) {
            dbus_message_iter_open_container(&dict, DBUS_TYPE_DICT_ENTRY, nullptr, &entry);
            const char* p = path.c_str();
            dbus_message_iter_append_basic(&entry, DBUS_TYPE_OBJECT_PATH, &p);
            appendInterfaces(&entry, interfaces);
            dbus_message_iter_close_container(&dict, &entry);
        }
        dbus_message_iter_close_container(&it, &dict);
        send(reply);
    }

    void adapterMethod(DBusMessage* m, const std::string& member) {
        if (member == "SetDiscoveryFilter") {
            say("filter " + describeFilter(m));
            reply(m);
        } else if (member == "StartDiscovery") {
            if (!powered_) return error(m, "org.bluez.Error.NotReady", "Resource Not Ready");
            discovering_ = true;
            say("discovery on");
            reply(m);
            changed(kAdapterPath, "org.bluez.Adapter1", {{"Discovering", true}});
            if (!deviceExported_)
                exportDevice();
            else if (!connected_)
                changed(devicePath_, "org.bluez.Device1", {{"RSSI", int16_t{-52}}});
        } else if (member == "StopDiscovery") {
            discovering_ = false;
            say("discovery off");
            reply(m);
            changed(kAdapterPath, "org.bluez.Adapter1", {{"Discovering", false}});
        } else {
            error(m, DBUS_ERROR_UNKNOWN_METHOD, "no such method");
        }
    }

    void deviceMethod(DBusMessage* m, const std::string& member) {
        if (member == "Connect") {
            say("connect");
            if (o_.connect == "hang") return;  // never answered
            if (o_.connect == "fail") return error(m, "org.bluez.Error.Failed", "le-connection-abort-by-local");
            if (!powered_) return error(m, "org.bluez.Error.NotReady", "Resource Not Ready");
            if (connected_) return reply(m);
            connected_ = true;
            changed(devicePath_, "org.bluez.Device1", {{"Connected", true}});
            reply(m);
            exportGatt();
            resolved_ = true;
            changed(devicePath_, "org.bluez.Device1", {{"ServicesResolved", true}});
        } else {
            error(m, DBUS_ERROR_UNKNOWN_METHOD, "no such method");
        }
    }

    void characteristicMethod(DBusMessage* m, const std::string& path, const std::string& member) {
        const bool isNotify = path == notifyPath_;
        if (member == "StartNotify") {
            if (!isNotify) return error(m, "org.bluez.Error.NotSupported", "Operation is not supported");
            notifying_ = true;
            say("notify on");
            reply(m);
        } else if (member == "StopNotify") {
            notifying_ = false;
            reply(m);
        } else if (member == "WriteValue") {
            if (isNotify) return error(m, "org.bluez.Error.NotPermitted", "Write not permitted");
            std::vector<uint8_t> bytes;
            std::string type;
            readWrite(m, bytes, type);
            say("write " + hex(bytes) + " " + type);
            reply(m);
            answer(bytes);
        } else {
            error(m, DBUS_ERROR_UNKNOWN_METHOD, "no such method");
        }
    }

    void answer(const std::vector<uint8_t>& frame) {
        if (frame == std::vector<uint8_t>{0xAA, 0xBB, 0x00, 0xCC, 0xDD}) {
            if (!notifying_) return;
            if (o_.garbage) {
                changed(notifyPath_, "org.bluez.GattCharacteristic1", {{"Value", std::string("not bytes")}});
                changed(notifyPath_, "org.bluez.GattCharacteristic1", {{"Value", std::vector<uint8_t>{0xAA, 0xBB}}});
                changed(notifyPath_, "org.bluez.GattCharacteristic1",
                        {{"Value", std::vector<uint8_t>{0xAA, 0xBB, 0x00, 1, 2, 3, 4, 5, 6, 7, 0xCC, 0xDE}}});
                malformedPropertiesChanged();
            }
            // battery 87 %, signal -55 dBm, firmware 1.0, work mode 1, light mode 2, then the lever.
            std::vector<uint8_t> status{0xAA, 0xBB,   0x00, 87,  static_cast<uint8_t>(-55), 1, 0, 1,
                                        2,    lever_, 0xCC, 0xDD};
            changed(notifyPath_, "org.bluez.GattCharacteristic1", {{"Value", status}});
        } else if (frame.size() == 6 && frame[0] == 0xAA && frame[1] == 0xBB && frame[2] == 0x90 && frame[4] == 0xCC &&
                   frame[5] == 0xDD) {
            say("state " + std::to_string(frame[3]));
        }
    }

    void malformedPropertiesChanged() {
        DBusMessage* signal =
            dbus_message_new_signal(notifyPath_.c_str(), DBUS_INTERFACE_PROPERTIES, "PropertiesChanged");
        const char* iface = "org.bluez.GattCharacteristic1";
        dbus_int32_t junk = 5;
        dbus_message_append_args(signal, DBUS_TYPE_STRING, &iface, DBUS_TYPE_INT32, &junk, DBUS_TYPE_INVALID);
        send(signal);
    }

    void exportDevice() {
        if (deviceExported_ || !adapterExported_) return;
        deviceExported_ = true;
        added(devicePath_, deviceInterfaces());
    }
    void exportGatt() {
        if (gattExported_) return;
        gattExported_ = true;
        for (const auto& [path, interfaces] : gattObjects()) added(path, interfaces);
    }
    void disconnectDevice() {
        if (!connected_) return;
        connected_ = resolved_ = notifying_ = false;
        changed(devicePath_, "org.bluez.Device1", {{"Connected", false}, {"ServicesResolved", false}});
        if (gattExported_) {
            if (o_.hasCommand) removed(commandPath_, {"org.bluez.GattCharacteristic1"});
            removed(notifyPath_, {"org.bluez.GattCharacteristic1"});
            removed(servicePath_, {"org.bluez.GattService1"});
            gattExported_ = false;
        }
        say("disconnected");
    }

    std::string describeFilter(DBusMessage* m) {
        std::string uuids, transport;
        DBusMessageIter it, dict, entry, variant, array;
        if (!dbus_message_iter_init(m, &it) || dbus_message_iter_get_arg_type(&it) != DBUS_TYPE_ARRAY) return "?";
        dbus_message_iter_recurse(&it, &dict);
        for (; dbus_message_iter_get_arg_type(&dict) == DBUS_TYPE_DICT_ENTRY; dbus_message_iter_next(&dict)) {
            dbus_message_iter_recurse(&dict, &entry);
            const char* key = nullptr;
            dbus_message_iter_get_basic(&entry, &key);
            dbus_message_iter_next(&entry);
            dbus_message_iter_recurse(&entry, &variant);
            if (std::strcmp(key, "UUIDs") == 0 && dbus_message_iter_get_arg_type(&variant) == DBUS_TYPE_ARRAY) {
                dbus_message_iter_recurse(&variant, &array);
                for (; dbus_message_iter_get_arg_type(&array) == DBUS_TYPE_STRING; dbus_message_iter_next(&array)) {
                    const char* uuid = nullptr;
                    dbus_message_iter_get_basic(&array, &uuid);
                    uuids += (uuids.empty() ? "" : ",") + std::string(uuid);
                }
            } else if (std::strcmp(key, "Transport") == 0 &&
                       dbus_message_iter_get_arg_type(&variant) == DBUS_TYPE_STRING) {
                const char* t = nullptr;
                dbus_message_iter_get_basic(&variant, &t);
                transport = t;
            }
        }
        return "UUIDs=" + uuids + " Transport=" + transport;
    }

    static void readWrite(DBusMessage* m, std::vector<uint8_t>& bytes, std::string& type) {
        DBusMessageIter it, array, dict, entry, variant;
        if (!dbus_message_iter_init(m, &it) || dbus_message_iter_get_arg_type(&it) != DBUS_TYPE_ARRAY) return;
        dbus_message_iter_recurse(&it, &array);
        const uint8_t* data = nullptr;
        int count = 0;
        dbus_message_iter_get_fixed_array(&array, &data, &count);
        bytes.assign(data, data + count);
        if (!dbus_message_iter_next(&it)) return;
        dbus_message_iter_recurse(&it, &dict);
        for (; dbus_message_iter_get_arg_type(&dict) == DBUS_TYPE_DICT_ENTRY; dbus_message_iter_next(&dict)) {
            dbus_message_iter_recurse(&dict, &entry);
            const char* key = nullptr;
            dbus_message_iter_get_basic(&entry, &key);
            dbus_message_iter_next(&entry);
            dbus_message_iter_recurse(&entry, &variant);
            if (std::strcmp(key, "type") == 0 && dbus_message_iter_get_arg_type(&variant) == DBUS_TYPE_STRING) {
                const char* t = nullptr;
                dbus_message_iter_get_basic(&variant, &t);
                type = t;
            }
        }
    }

    void changed(const std::string& path, const char* iface, const Props& props) {
        DBusMessage* signal = dbus_message_new_signal(path.c_str(), DBUS_INTERFACE_PROPERTIES, "PropertiesChanged");
        DBusMessageIter it, invalidated;
        dbus_message_iter_init_append(signal, &it);
        dbus_message_iter_append_basic(&it, DBUS_TYPE_STRING, &iface);
        appendProps(&it, props);
        dbus_message_iter_open_container(&it, DBUS_TYPE_ARRAY, "s", &invalidated);
        dbus_message_iter_close_container(&it, &invalidated);
        send(signal);
    }
    void added(const std::string& path, const Interfaces& interfaces) {
        DBusMessage* signal = dbus_message_new_signal("/", "org.freedesktop.DBus.ObjectManager", "InterfacesAdded");
        DBusMessageIter it;
        dbus_message_iter_init_append(signal, &it);
        const char* p = path.c_str();
        dbus_message_iter_append_basic(&it, DBUS_TYPE_OBJECT_PATH, &p);
        appendInterfaces(&it, interfaces);
        send(signal);
    }
    void removed(const std::string& path, const std::vector<std::string>& interfaces) {
        DBusMessage* signal = dbus_message_new_signal("/", "org.freedesktop.DBus.ObjectManager", "InterfacesRemoved");
        DBusMessageIter it, array;
        dbus_message_iter_init_append(signal, &it);
        const char* p = path.c_str();
        dbus_message_iter_append_basic(&it, DBUS_TYPE_OBJECT_PATH, &p);
        dbus_message_iter_open_container(&it, DBUS_TYPE_ARRAY, "s", &array);
        for (const auto& name : interfaces) {
            const char* n = name.c_str();
            dbus_message_iter_append_basic(&array, DBUS_TYPE_STRING, &n);
        }
        dbus_message_iter_close_container(&it, &array);
        send(signal);
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
    int badObjectLists_;
    std::string devicePath_, servicePath_, notifyPath_, commandPath_;
    bool adapterExported_ = true;
    bool powered_ = true;
    bool discovering_ = false;
    bool deviceExported_ = false;
    bool connected_ = false;
    bool resolved_ = false;
    bool gattExported_ = false;
    bool notifying_ = false;
};

DBusHandlerResult filter(DBusConnection*, DBusMessage* message, void* data) {
    return static_cast<Peer*>(data)->handle(message);
}

Options parseOptions(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto eq = arg.find('=');
        const std::string key = arg.substr(0, eq);
        const std::string value = eq == std::string::npos ? "" : arg.substr(eq + 1);
        if (key == "--start")
            o.start = value;
        else if (key == "--name")
            o.name = value;
        else if (key == "--lever")
            o.lever = static_cast<uint8_t>(std::stoi(value));
        else if (key == "--order")
            o.notifyFirst = value != "command-first";
        else if (key == "--connect")
            o.connect = value;
        else if (key == "--command-flags")
            o.commandFlags = split(value, ',');
        else if (key == "--no-command")
            o.hasCommand = false;
        else if (key == "--garbage")
            o.garbage = true;
        else if (key == "--adapter")
            o.adapter = value;
        else if (key == "--bad-object-lists")
            o.badObjectLists = std::stoi(value);
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
    dbus_connection_add_filter(connection, filter, &peer, nullptr);
    say("ready");

    int busFd = -1;
    dbus_connection_get_unix_fd(connection, &busFd);
    std::string pending;
    bool running = true;
    while (running && dbus_connection_get_is_connected(connection)) {
        pollfd fds[2] = {{0, POLLIN, 0}, {busFd, POLLIN, 0}};
        ::poll(fds, 2, 100);
        if (fds[0].revents & (POLLIN | POLLHUP)) {
            char buf[256];
            ssize_t n = ::read(0, buf, sizeof buf);
            if (n <= 0)
                running = false;
            else
                pending.append(buf, static_cast<size_t>(n));
            for (size_t eol; (eol = pending.find('\n')) != std::string::npos;) {
                std::string line = pending.substr(0, eol);
                pending.erase(0, eol + 1);
                peer.command(line);
            }
        }
        dbus_connection_read_write(connection, 0);
        while (dbus_connection_dispatch(connection) == DBUS_DISPATCH_DATA_REMAINS) {}
        dbus_connection_flush(connection);
    }
    dbus_connection_close(connection);
    dbus_connection_unref(connection);
    return 0;
}
