#include "platform/bluez/BluezMessages.h"

#include <dbus/dbus.h>

namespace vemlo::bluez {
namespace {

bool isString(int type) {
    return type == DBUS_TYPE_STRING || type == DBUS_TYPE_OBJECT_PATH || type == DBUS_TYPE_SIGNATURE;
}

std::string readString(DBusMessageIter* it) {
    const char* text = nullptr;
    dbus_message_iter_get_basic(it, &text);
    return text ? text : "";
}

// Every integer type D-Bus has widens to int64_t losslessly except UINT64, which BlueZ does not use.
template <typename T>
int64_t readInteger(DBusMessageIter* it) {
    T v{};
    dbus_message_iter_get_basic(it, &v);
    return int64_t{v};
}

PropertyValue readVariant(DBusMessageIter* variant) {
    DBusMessageIter value;
    dbus_message_iter_recurse(variant, &value);
    const int type = dbus_message_iter_get_arg_type(&value);
    switch (type) {
    case DBUS_TYPE_BOOLEAN: {
        dbus_bool_t b = FALSE;
        dbus_message_iter_get_basic(&value, &b);
        return b != FALSE;
    }
    case DBUS_TYPE_BYTE:
        return readInteger<uint8_t>(&value);
    case DBUS_TYPE_INT16:
        return readInteger<dbus_int16_t>(&value);
    case DBUS_TYPE_UINT16:
        return readInteger<dbus_uint16_t>(&value);
    case DBUS_TYPE_INT32:
        return readInteger<dbus_int32_t>(&value);
    case DBUS_TYPE_UINT32:
        return readInteger<dbus_uint32_t>(&value);
    case DBUS_TYPE_INT64:
        return readInteger<dbus_int64_t>(&value);
    case DBUS_TYPE_STRING:
    case DBUS_TYPE_OBJECT_PATH:
        return readString(&value);
    case DBUS_TYPE_ARRAY: {
        const int element = dbus_message_iter_get_element_type(&value);
        DBusMessageIter items;
        dbus_message_iter_recurse(&value, &items);
        if (element == DBUS_TYPE_BYTE) {
            const uint8_t* bytes = nullptr;
            int count = 0;
            dbus_message_iter_get_fixed_array(&items, &bytes, &count);
            return std::vector<uint8_t>(bytes, bytes + (count > 0 ? count : 0));
        }
        if (isString(element)) {
            std::vector<std::string> strings;
            while (dbus_message_iter_get_arg_type(&items) == element) {
                strings.push_back(readString(&items));
                dbus_message_iter_next(&items);
            }
            return strings;
        }
        return std::monostate{};
    }
    default:
        return std::monostate{};
    }
}

// a{sv}
std::optional<Properties> readProperties(DBusMessageIter* it) {
    if (dbus_message_iter_get_arg_type(it) != DBUS_TYPE_ARRAY ||
        dbus_message_iter_get_element_type(it) != DBUS_TYPE_DICT_ENTRY)
        return std::nullopt;
    Properties properties;
    DBusMessageIter entries;
    dbus_message_iter_recurse(it, &entries);
    for (; dbus_message_iter_get_arg_type(&entries) == DBUS_TYPE_DICT_ENTRY; dbus_message_iter_next(&entries)) {
        DBusMessageIter entry;
        dbus_message_iter_recurse(&entries, &entry);
        if (dbus_message_iter_get_arg_type(&entry) != DBUS_TYPE_STRING) return std::nullopt;
        std::string key = readString(&entry);
        if (!dbus_message_iter_next(&entry) || dbus_message_iter_get_arg_type(&entry) != DBUS_TYPE_VARIANT)
            return std::nullopt;
        properties[key] = readVariant(&entry);
    }
    return properties;
}

// a{sa{sv}}
std::optional<Interfaces> readInterfaces(DBusMessageIter* it) {
    if (dbus_message_iter_get_arg_type(it) != DBUS_TYPE_ARRAY ||
        dbus_message_iter_get_element_type(it) != DBUS_TYPE_DICT_ENTRY)
        return std::nullopt;
    Interfaces interfaces;
    DBusMessageIter entries;
    dbus_message_iter_recurse(it, &entries);
    for (; dbus_message_iter_get_arg_type(&entries) == DBUS_TYPE_DICT_ENTRY; dbus_message_iter_next(&entries)) {
        DBusMessageIter entry;
        dbus_message_iter_recurse(&entries, &entry);
        if (dbus_message_iter_get_arg_type(&entry) != DBUS_TYPE_STRING) return std::nullopt;
        std::string name = readString(&entry);
        if (!dbus_message_iter_next(&entry)) return std::nullopt;
        auto properties = readProperties(&entry);
        if (!properties) return std::nullopt;
        interfaces[name] = std::move(*properties);
    }
    return interfaces;
}

std::optional<std::vector<std::string>> readStrings(DBusMessageIter* it) {
    if (dbus_message_iter_get_arg_type(it) != DBUS_TYPE_ARRAY || !isString(dbus_message_iter_get_element_type(it)))
        return std::nullopt;
    std::vector<std::string> strings;
    DBusMessageIter items;
    dbus_message_iter_recurse(it, &items);
    for (; isString(dbus_message_iter_get_arg_type(&items)); dbus_message_iter_next(&items))
        strings.push_back(readString(&items));
    return strings;
}

template <typename T>
std::optional<T> property(const Properties& properties, const std::string& key) {
    auto it = properties.find(key);
    if (it == properties.end()) return std::nullopt;
    if (const T* value = std::get_if<T>(&it->second)) return *value;
    return std::nullopt;
}

void appendVariantString(DBusMessageIter* dict, const char* key, const char* value) {
    DBusMessageIter entry, variant;
    dbus_message_iter_open_container(dict, DBUS_TYPE_DICT_ENTRY, nullptr, &entry);
    dbus_message_iter_append_basic(&entry, DBUS_TYPE_STRING, &key);
    dbus_message_iter_open_container(&entry, DBUS_TYPE_VARIANT, DBUS_TYPE_STRING_AS_STRING, &variant);
    dbus_message_iter_append_basic(&variant, DBUS_TYPE_STRING, &value);
    dbus_message_iter_close_container(&entry, &variant);
    dbus_message_iter_close_container(dict, &entry);
}

}  // namespace

MessagePtr adoptMessage(DBusMessage* message) {
    return MessagePtr(message, [](DBusMessage* m) {
        if (m) dbus_message_unref(m);
    });
}

std::optional<std::vector<ManagedObject>> parseManagedObjects(DBusMessage* reply) {
    if (!reply || dbus_message_get_type(reply) != DBUS_MESSAGE_TYPE_METHOD_RETURN) return std::nullopt;
    DBusMessageIter it;
    if (!dbus_message_iter_init(reply, &it) || dbus_message_iter_get_arg_type(&it) != DBUS_TYPE_ARRAY ||
        dbus_message_iter_get_element_type(&it) != DBUS_TYPE_DICT_ENTRY)
        return std::nullopt;
    std::vector<ManagedObject> objects;
    DBusMessageIter entries;
    dbus_message_iter_recurse(&it, &entries);
    for (; dbus_message_iter_get_arg_type(&entries) == DBUS_TYPE_DICT_ENTRY; dbus_message_iter_next(&entries)) {
        DBusMessageIter entry;
        dbus_message_iter_recurse(&entries, &entry);
        if (dbus_message_iter_get_arg_type(&entry) != DBUS_TYPE_OBJECT_PATH) return std::nullopt;
        std::string path = readString(&entry);
        if (!dbus_message_iter_next(&entry)) return std::nullopt;
        auto interfaces = readInterfaces(&entry);
        if (!interfaces) return std::nullopt;
        objects.push_back({std::move(path), std::move(*interfaces)});
    }
    return objects;
}

std::optional<ManagedObject> parseInterfacesAdded(DBusMessage* signal) {
    DBusMessageIter it;
    if (!dbus_message_iter_init(signal, &it) || dbus_message_iter_get_arg_type(&it) != DBUS_TYPE_OBJECT_PATH)
        return std::nullopt;
    std::string path = readString(&it);
    if (!dbus_message_iter_next(&it)) return std::nullopt;
    auto interfaces = readInterfaces(&it);
    if (!interfaces) return std::nullopt;
    return ManagedObject{std::move(path), std::move(*interfaces)};
}

std::optional<InterfacesRemoved> parseInterfacesRemoved(DBusMessage* signal) {
    DBusMessageIter it;
    if (!dbus_message_iter_init(signal, &it) || dbus_message_iter_get_arg_type(&it) != DBUS_TYPE_OBJECT_PATH)
        return std::nullopt;
    std::string path = readString(&it);
    if (!dbus_message_iter_next(&it)) return std::nullopt;
    auto interfaces = readStrings(&it);
    if (!interfaces) return std::nullopt;
    return InterfacesRemoved{std::move(path), std::move(*interfaces)};
}

std::optional<PropertiesChanged> parsePropertiesChanged(DBusMessage* signal) {
    DBusMessageIter it;
    if (!dbus_message_iter_init(signal, &it) || dbus_message_iter_get_arg_type(&it) != DBUS_TYPE_STRING)
        return std::nullopt;
    PropertiesChanged change;
    change.interface = readString(&it);
    if (!dbus_message_iter_next(&it)) return std::nullopt;
    auto changed = readProperties(&it);
    if (!changed) return std::nullopt;
    change.changed = std::move(*changed);
    // The invalidated list is optional in practice: a sender that leaves it out still means the change.
    if (dbus_message_iter_next(&it)) {
        if (auto invalidated = readStrings(&it)) change.invalidated = std::move(*invalidated);
    }
    return change;
}

std::optional<NameOwnerChanged> parseNameOwnerChanged(DBusMessage* signal) {
    const char* name = nullptr;
    const char* oldOwner = nullptr;
    const char* newOwner = nullptr;
    DBusError error;
    dbus_error_init(&error);
    const bool ok = dbus_message_get_args(signal, &error, DBUS_TYPE_STRING, &name, DBUS_TYPE_STRING, &oldOwner,
                                          DBUS_TYPE_STRING, &newOwner, DBUS_TYPE_INVALID);
    dbus_error_free(&error);
    if (!ok) return std::nullopt;
    return NameOwnerChanged{name, oldOwner, newOwner};
}

std::optional<bool> boolProperty(const Properties& properties, const std::string& key) {
    return property<bool>(properties, key);
}

std::optional<std::string> stringProperty(const Properties& properties, const std::string& key) {
    return property<std::string>(properties, key);
}

std::optional<std::vector<std::string>> stringsProperty(const Properties& properties, const std::string& key) {
    return property<std::vector<std::string>>(properties, key);
}

std::optional<std::vector<uint8_t>> bytesProperty(const Properties& properties, const std::string& key) {
    return property<std::vector<uint8_t>>(properties, key);
}

std::optional<std::string> errorText(DBusMessage* reply) {
    if (!reply) return "no reply";
    if (dbus_message_get_type(reply) != DBUS_MESSAGE_TYPE_ERROR) return std::nullopt;
    std::string text = dbus_message_get_error_name(reply) ? dbus_message_get_error_name(reply) : "error";
    const char* detail = nullptr;
    DBusError error;
    dbus_error_init(&error);
    if (dbus_message_get_args(reply, &error, DBUS_TYPE_STRING, &detail, DBUS_TYPE_INVALID) && detail && *detail)
        text += std::string(": ") + detail;
    dbus_error_free(&error);
    return text;
}

std::string errorName(DBusMessage* reply) {
    if (!reply || dbus_message_get_type(reply) != DBUS_MESSAGE_TYPE_ERROR) return "";
    const char* name = dbus_message_get_error_name(reply);
    return name ? name : "";
}

MessagePtr methodCall(const std::string& path, const char* interface, const char* method) {
    if (!dbus_validate_path(path.c_str(), nullptr)) return nullptr;
    return adoptMessage(dbus_message_new_method_call(kService, path.c_str(), interface, method));
}

MessagePtr getManagedObjectsCall() {
    auto message = methodCall("/", kObjectManagerInterface, "GetManagedObjects");
    // Asking must not start bluetoothd on our behalf; its appearance is watched instead.
    if (message) dbus_message_set_auto_start(message.get(), FALSE);
    return message;
}

MessagePtr discoveryFilterCall(const std::string& adapterPath, const std::vector<std::string>& serviceUuids) {
    auto message = methodCall(adapterPath, kAdapterInterface, "SetDiscoveryFilter");
    if (!message) return nullptr;
    DBusMessageIter it, dict, entry, variant, array;
    dbus_message_iter_init_append(message.get(), &it);
    dbus_message_iter_open_container(&it, DBUS_TYPE_ARRAY, "{sv}", &dict);
    dbus_message_iter_open_container(&dict, DBUS_TYPE_DICT_ENTRY, nullptr, &entry);
    const char* key = "UUIDs";
    dbus_message_iter_append_basic(&entry, DBUS_TYPE_STRING, &key);
    dbus_message_iter_open_container(&entry, DBUS_TYPE_VARIANT, "as", &variant);
    dbus_message_iter_open_container(&variant, DBUS_TYPE_ARRAY, DBUS_TYPE_STRING_AS_STRING, &array);
    for (const auto& uuid : serviceUuids) {
        const char* text = uuid.c_str();
        dbus_message_iter_append_basic(&array, DBUS_TYPE_STRING, &text);
    }
    dbus_message_iter_close_container(&variant, &array);
    dbus_message_iter_close_container(&entry, &variant);
    dbus_message_iter_close_container(&dict, &entry);
    appendVariantString(&dict, "Transport", "le");
    dbus_message_iter_close_container(&it, &dict);
    return message;
}

MessagePtr writeValueCall(const std::string& characteristicPath, const std::vector<uint8_t>& bytes,
                          bool withoutResponse) {
    auto message = methodCall(characteristicPath, kGattCharacteristicInterface, "WriteValue");
    if (!message) return nullptr;
    DBusMessageIter it, array, dict;
    dbus_message_iter_init_append(message.get(), &it);
    dbus_message_iter_open_container(&it, DBUS_TYPE_ARRAY, DBUS_TYPE_BYTE_AS_STRING, &array);
    const uint8_t* data = bytes.data();
    dbus_message_iter_append_fixed_array(&array, DBUS_TYPE_BYTE, &data, static_cast<int>(bytes.size()));
    dbus_message_iter_close_container(&it, &array);
    dbus_message_iter_open_container(&it, DBUS_TYPE_ARRAY, "{sv}", &dict);
    appendVariantString(&dict, "type", withoutResponse ? "command" : "request");
    dbus_message_iter_close_container(&it, &dict);
    return message;
}

}  // namespace vemlo::bluez
