#!/usr/bin/python3
"""The keyboard for the BlueZ bench: a GATT application and an LE advertisement that the real
bluetoothd serves on one adapter (hci1). Service 7340; command characteristic 7343 ("write" or
"write-without-response", by --write-type); notify characteristic 7344.

A status request (AA BB 00 CC DD) written to 7343 is answered by a notification on 7344 with the lever
read from <state-dir>/lever; an LED frame (AA BB 90 <v> CC DD) is recorded. Every event is appended to
<state-dir>/keyboard.events as "<monotonic seconds> <event>". It registers again whenever bluetoothd
comes back."""
import argparse
import os
import time

import dbus
import dbus.mainloop.glib
import dbus.service
from gi.repository import GLib

BLUEZ, PROPS, OM = "org.bluez", "org.freedesktop.DBus.Properties", "org.freedesktop.DBus.ObjectManager"
CHRC = "org.bluez.GattCharacteristic1"
UUID = "0000%s-0000-1000-8000-00805f9b34fb"
opts = None


def event(text):
    with open(os.path.join(opts.state_dir, "keyboard.events"), "a") as f:
        f.write("%.3f %s\n" % (time.monotonic(), text))


class Chrc(dbus.service.Object):
    def __init__(self, bus, path, uuid, flags):
        super().__init__(bus, path)
        self.path, self.uuid, self.flags, self.notifying = path, uuid, flags, False

    def props(self):
        return {CHRC: {"Service": dbus.ObjectPath("/kb/s0"), "UUID": UUID % self.uuid,
                       "Flags": dbus.Array(self.flags, signature="s")}}

    @dbus.service.method(PROPS, in_signature="s", out_signature="a{sv}")
    def GetAll(self, interface):
        return self.props()[CHRC]

    @dbus.service.signal(PROPS, signature="sa{sv}as")
    def PropertiesChanged(self, interface, changed, invalidated):
        pass

    @dbus.service.method(CHRC)
    def StartNotify(self):
        self.notifying = True
        event("notify on")

    @dbus.service.method(CHRC)
    def StopNotify(self):
        self.notifying = False

    @dbus.service.method(CHRC, in_signature="aya{sv}")
    def WriteValue(self, value, options):
        data = bytes(value)
        event("write " + data.hex(" ").upper())
        if data == b"\xaa\xbb\x00\xcc\xdd":
            notify = app.chrcs[1]
            try:
                with open(os.path.join(opts.state_dir, "lever")) as f:
                    lever = int(f.read())
            except (OSError, ValueError):
                lever = 0
            if not notify.notifying:
                event("status request unanswered")
                return
            status = [0xAA, 0xBB, 0x00, 87, 0xC9, 1, 0, 1, 2, lever & 0xFF, 0xCC, 0xDD]
            notify.PropertiesChanged(CHRC, {"Value": dbus.Array(status, signature="y")}, [])
            event("status lever=%d" % lever)
        elif len(data) == 6 and data[:3] == b"\xaa\xbb\x90" and data[4:] == b"\xcc\xdd":
            event("led %d" % data[3])


class App(dbus.service.Object):
    def __init__(self, bus):
        super().__init__(bus, "/kb")
        command = ["write"] if opts.write_type == "request" else ["write-without-response"]
        self.chrcs = [Chrc(bus, "/kb/s0/c0", "7343", command), Chrc(bus, "/kb/s0/c1", "7344", ["notify"])]

    @dbus.service.method(OM, out_signature="a{oa{sa{sv}}}")
    def GetManagedObjects(self):
        objects = {"/kb/s0": {"org.bluez.GattService1": {"UUID": UUID % "7340", "Primary": True}}}
        for c in self.chrcs:
            objects[c.path] = c.props()
        return objects


class Advert(dbus.service.Object):
    @dbus.service.method(PROPS, in_signature="s", out_signature="a{sv}")
    def GetAll(self, interface):
        return {"Type": "peripheral", "ServiceUUIDs": dbus.Array(["7340"], signature="s"),
                "LocalName": opts.name, "Discoverable": True}

    @dbus.service.method("org.bluez.LEAdvertisement1")
    def Release(self):
        pass


def register():
    adapter = bus.get_object(BLUEZ, "/org/bluez/" + opts.adapter)
    try:
        # The name a central reads from GAP once linked, as a keyboard's own.
        dbus.Interface(adapter, PROPS).Set("org.bluez.Adapter1", "Alias", opts.name)
        dbus.Interface(adapter, PROPS).Set("org.bluez.Adapter1", "Powered", True)
    except dbus.DBusException:
        GLib.timeout_add(500, register)  # bluetoothd has not set the adapter up yet
        return False

    def done(what):
        return lambda *args: event("registered " + what + (" failed %s" % args[0] if args else ""))
    dbus.Interface(adapter, "org.bluez.GattManager1").RegisterApplication(
        "/kb", {}, reply_handler=done("application"), error_handler=done("application"))
    dbus.Interface(adapter, "org.bluez.LEAdvertisingManager1").RegisterAdvertisement(
        "/kb/adv", {}, reply_handler=done("advertisement"), error_handler=done("advertisement"))
    return False


def owner_changed(name, old, new):
    for c in app.chrcs:
        c.notifying = False
    if new:
        GLib.timeout_add(300, register)


def link_changed(interface, changed, invalidated, path=None):
    if interface == "org.bluez.Device1" and "Connected" in changed and path.startswith("/org/bluez/" + opts.adapter):
        event("link " + ("up" if changed["Connected"] else "down"))
        if not changed["Connected"]:
            app.chrcs[1].notifying = False


if __name__ == "__main__":
    p = argparse.ArgumentParser()
    p.add_argument("--adapter", default="hci1")
    p.add_argument("--name", default="Vemlo Bench")
    p.add_argument("--state-dir", required=True)
    p.add_argument("--write-type", choices=["command", "request"], default="command")
    opts = p.parse_args()
    dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
    bus = dbus.SystemBus()
    app, advert = App(bus), Advert(bus, "/kb/adv")
    bus.add_signal_receiver(owner_changed, "NameOwnerChanged", "org.freedesktop.DBus", arg0=BLUEZ)
    bus.add_signal_receiver(link_changed, "PropertiesChanged", PROPS, BLUEZ, path_keyword="path")
    GLib.idle_add(register)
    GLib.MainLoop().run()
