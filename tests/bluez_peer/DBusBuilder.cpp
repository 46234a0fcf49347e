#include "DBusBuilder.h"

#include <cstdio>

namespace vemlo::test::dbus {
namespace {

struct Writer {
    DBusMessageIter it;

    void basic(int type, const void* value) { dbus_message_iter_append_basic(&it, type, value); }
    void text(int type, const std::string& s) {
        const char* c = s.c_str();
        basic(type, &c);
    }
    // Calls fill with a writer inside a new container.
    template <typename Fill>
    void open(int type, const char* signature, Fill fill) {
        Writer inner;
        dbus_message_iter_open_container(&it, type, signature, &inner.it);
        fill(inner);
        dbus_message_iter_close_container(&it, &inner.it);
    }
    void strings(const std::vector<std::string>& list) {
        open(DBUS_TYPE_ARRAY, "s", [&](Writer& a) { for (const auto& s : list) a.text(DBUS_TYPE_STRING, s); });
    }
    void variant(const Value& value) {
        static const char* const kSignatures[] = {"b", "n", "s", "o", "as", "ay"};
        open(DBUS_TYPE_VARIANT, kSignatures[value.index()], [&](Writer& v) {
            if (auto* b = std::get_if<bool>(&value)) {
                const dbus_bool_t flag = *b;
                v.basic(DBUS_TYPE_BOOLEAN, &flag);
            }
            if (auto* n = std::get_if<int16_t>(&value)) v.basic(DBUS_TYPE_INT16, n);
            if (auto* s = std::get_if<std::string>(&value)) v.text(DBUS_TYPE_STRING, *s);
            if (auto* o = std::get_if<ObjectPath>(&value)) v.text(DBUS_TYPE_OBJECT_PATH, o->path);
            if (auto* list = std::get_if<std::vector<std::string>>(&value)) v.strings(*list);
            if (auto* bytes = std::get_if<std::vector<uint8_t>>(&value))
                v.open(DBUS_TYPE_ARRAY, "y", [&](Writer& a) {
                    const uint8_t* data = bytes->data();
                    dbus_message_iter_append_fixed_array(&a.it, DBUS_TYPE_BYTE, &data, static_cast<int>(bytes->size()));
                });
        });
    }
    // a{s...}, each value written by `value`.
    template <typename Entries, typename Value>
    void dict(const char* signature, const Entries& entries, Value value) {
        open(DBUS_TYPE_ARRAY, signature, [&](Writer& d) {
            for (const auto& [key, v] : entries)
                d.open(DBUS_TYPE_DICT_ENTRY, nullptr, [&](Writer& e) {
                    e.text(DBUS_TYPE_STRING, key);
                    value(e, v);
                });
        });
    }
    void props(const Props& p) { dict("{sv}", p, [](Writer& e, const Value& v) { e.variant(v); }); }
    void interfaces(const Interfaces& i) { dict("{sa{sv}}", i, [](Writer& e, const Props& p) { e.props(p); }); }
};

Writer writer(DBusMessage* message) {
    Writer w;
    dbus_message_iter_init_append(message, &w.it);
    return w;
}

void describe(DBusMessageIter* it, std::string& out, const char* separator) {
    for (bool first = true; dbus_message_iter_get_arg_type(it) != DBUS_TYPE_INVALID; dbus_message_iter_next(it)) {
        if (!first) out += separator;
        first = false;
        const int type = dbus_message_iter_get_arg_type(it);
        DBusMessageIter sub;
        if (dbus_type_is_container(type)) dbus_message_iter_recurse(it, &sub);
        if (type == DBUS_TYPE_ARRAY && dbus_message_iter_get_element_type(it) == DBUS_TYPE_BYTE) {
            char digits[4];
            for (bool firstByte = true; dbus_message_iter_get_arg_type(&sub) == DBUS_TYPE_BYTE;
                 dbus_message_iter_next(&sub), firstByte = false) {
                uint8_t byte = 0;
                dbus_message_iter_get_basic(&sub, &byte);
                std::snprintf(digits, sizeof digits, firstByte ? "%02X" : " %02X", byte);
                out += digits;
            }
        } else if (type == DBUS_TYPE_ARRAY) {
            out += '[';
            describe(&sub, out, ", ");
            out += ']';
        } else if (dbus_type_is_container(type)) {
            describe(&sub, out, "=");
        } else {
            DBusBasicValue v{};
            dbus_message_iter_get_basic(it, &v);
            if (type == DBUS_TYPE_STRING || type == DBUS_TYPE_OBJECT_PATH)
                out += v.str;
            else
                out += std::to_string(type == DBUS_TYPE_INT16 ? v.i16 : type == DBUS_TYPE_BYTE ? v.byt : v.i32);
        }
    }
}

}  // namespace

DBusMessage* propertiesChanged(const std::string& path, const std::string& interface, const Props& changed,
                               bool withInvalidated) {
    DBusMessage* signal = dbus_message_new_signal(path.c_str(), DBUS_INTERFACE_PROPERTIES, "PropertiesChanged");
    Writer w = writer(signal);
    w.text(DBUS_TYPE_STRING, interface);
    w.props(changed);
    if (withInvalidated) w.strings({});
    return signal;
}

DBusMessage* interfacesAdded(const std::string& path, const Interfaces& interfaces) {
    DBusMessage* signal = dbus_message_new_signal("/", "org.freedesktop.DBus.ObjectManager", "InterfacesAdded");
    Writer w = writer(signal);
    w.text(DBUS_TYPE_OBJECT_PATH, path);
    w.interfaces(interfaces);
    return signal;
}

DBusMessage* interfacesRemoved(const std::string& path, const std::vector<std::string>& interfaces) {
    DBusMessage* signal = dbus_message_new_signal("/", "org.freedesktop.DBus.ObjectManager", "InterfacesRemoved");
    Writer w = writer(signal);
    w.text(DBUS_TYPE_OBJECT_PATH, path);
    w.strings(interfaces);
    return signal;
}

DBusMessage* managedObjects(DBusMessage* call, const Objects& objects) {
    DBusMessage* reply = dbus_message_new_method_return(call);
    writer(reply).open(DBUS_TYPE_ARRAY, "{oa{sa{sv}}}", [&](Writer& d) {
        for (const auto& [path, interfaces] : objects)
            d.open(DBUS_TYPE_DICT_ENTRY, nullptr, [&](Writer& e) {
                e.text(DBUS_TYPE_OBJECT_PATH, path);
                e.interfaces(interfaces);
            });
    });
    return reply;
}

std::string describe(DBusMessage* message) {
    std::string out;
    DBusMessageIter it;
    if (dbus_message_iter_init(message, &it)) describe(&it, out, " ");
    return out;
}

}  // namespace vemlo::test::dbus
