#include "DBusBuilder.h"

#include <cstdio>

namespace vemlo::test::dbus {
namespace {

struct Writer {
    DBusMessageIter it;

    Writer() = default;
    explicit Writer(DBusMessage* message) { dbus_message_iter_init_append(message, &it); }
    Writer& basic(int type, const void* value) { return dbus_message_iter_append_basic(&it, type, value), *this; }
    Writer& text(int type, const std::string& s) {
        const char* c = s.c_str();
        return basic(type, &c);
    }
    // Runs fill with a writer inside a new container.
    template <typename Fill>
    Writer& open(int type, const char* signature, Fill fill) {
        Writer inner;
        dbus_message_iter_open_container(&it, type, signature, &inner.it);
        fill(inner);
        return dbus_message_iter_close_container(&it, &inner.it), *this;
    }
    Writer& strings(const std::vector<std::string>& list) {
        return open(DBUS_TYPE_ARRAY, "s", [&](Writer& a) {
            for (const auto& s : list) a.text(DBUS_TYPE_STRING, s);
        });
    }
    void variant(const Value& value) {
        static const char* const kSignatures[] = {"b", "n", "s", "o", "as", "ay"};
        open(DBUS_TYPE_VARIANT, kSignatures[value.index()], [&](Writer& v) {
            const dbus_bool_t flag = value.index() == 0 && std::get<bool>(value);
            if (value.index() == 0) v.basic(DBUS_TYPE_BOOLEAN, &flag);
            if (auto* n = std::get_if<int16_t>(&value)) v.basic(DBUS_TYPE_INT16, n);
            if (auto* s = std::get_if<std::string>(&value)) v.text(DBUS_TYPE_STRING, *s);
            if (auto* o = std::get_if<ObjectPath>(&value)) v.text(DBUS_TYPE_OBJECT_PATH, o->path);
            if (auto* list = std::get_if<std::vector<std::string>>(&value)) v.strings(*list);
            if (auto* bytes = std::get_if<std::vector<uint8_t>>(&value))
                v.open(DBUS_TYPE_ARRAY, "y", [&](Writer& a) {
                    for (const uint8_t& b : *bytes) a.basic(DBUS_TYPE_BYTE, &b);
                });
        });
    }
    template <typename Entries, typename WriteValue>
    Writer& dict(const char* signature, const Entries& entries, WriteValue value, int keyType = DBUS_TYPE_STRING) {
        return open(DBUS_TYPE_ARRAY, signature, [&](Writer& d) {
            for (const auto& [key, v] : entries)
                d.open(DBUS_TYPE_DICT_ENTRY, nullptr, [&](Writer& e) { value(e.text(keyType, key), v); });
        });
    }
    Writer& props(const Props& p) {
        return dict("{sv}", p, [](Writer& e, const Value& v) { e.variant(v); });
    }
    Writer& interfaces(const Interfaces& i) {
        return dict("{sa{sv}}", i, [](Writer& e, const Props& p) { e.props(p); });
    }
};

void describe(DBusMessageIter* it, std::string& out, const char* separator) {
    for (bool first = true; dbus_message_iter_get_arg_type(it) != DBUS_TYPE_INVALID; dbus_message_iter_next(it)) {
        const int type = dbus_message_iter_get_arg_type(it);
        const bool bytes = type == DBUS_TYPE_ARRAY && dbus_message_iter_get_element_type(it) == DBUS_TYPE_BYTE;
        out += first ? "" : separator;
        first = false;
        DBusMessageIter sub;
        DBusBasicValue v{};
        dbus_type_is_container(type) ? dbus_message_iter_recurse(it, &sub) : dbus_message_iter_get_basic(it, &v);
        char digits[4];
        std::snprintf(digits, sizeof digits, "%02X", v.byt);
        out += type == DBUS_TYPE_ARRAY && !bytes ? "[" : "";
        if (dbus_type_is_container(type)) describe(&sub, out, bytes ? " " : type == DBUS_TYPE_ARRAY ? ", " : "=");
        out += type == DBUS_TYPE_ARRAY && !bytes ? "]" : type == DBUS_TYPE_BYTE ? digits : "";
        if (type == DBUS_TYPE_STRING || type == DBUS_TYPE_OBJECT_PATH) out += v.str;
    }
}

}  // namespace

DBusMessage* propertiesChanged(const std::string& path, const std::string& interface, const Props& changed) {
    DBusMessage* message = dbus_message_new_signal(path.c_str(), DBUS_INTERFACE_PROPERTIES, "PropertiesChanged");
    Writer(message).text(DBUS_TYPE_STRING, interface).props(changed).strings({});
    return message;
}

DBusMessage* interfacesAdded(const std::string& path, const Interfaces& interfaces) {
    DBusMessage* message = dbus_message_new_signal("/", "org.freedesktop.DBus.ObjectManager", "InterfacesAdded");
    Writer(message).text(DBUS_TYPE_OBJECT_PATH, path).interfaces(interfaces);
    return message;
}

DBusMessage* interfacesRemoved(const std::string& path, const std::vector<std::string>& interfaces) {
    DBusMessage* message = dbus_message_new_signal("/", "org.freedesktop.DBus.ObjectManager", "InterfacesRemoved");
    Writer(message).text(DBUS_TYPE_OBJECT_PATH, path).strings(interfaces);
    return message;
}

DBusMessage* managedObjects(DBusMessage* call, const Objects& objects) {
    DBusMessage* reply = dbus_message_new_method_return(call);
    Writer(reply).dict(
        "{oa{sa{sv}}}", objects, [](Writer& e, const Interfaces& i) { e.interfaces(i); }, DBUS_TYPE_OBJECT_PATH);
    return reply;
}

std::string describe(DBusMessage* message) {
    std::string out;
    DBusMessageIter it;
    if (dbus_message_iter_init(message, &it)) describe(&it, out, " ");
    return out;
}

}  // namespace vemlo::test::dbus
