#pragma once

#include "platform/BluetoothCentral.h"
#include "platform/MainQueue.h"

#include <functional>
#include <memory>
#include <string>

namespace vemlo {

// Why $VEMLO_BLUETOOTH names no backend, as one line for standard error; empty when it is unset,
// empty, "bluez", "sim" or "off". A misspelt value must not quietly mean the real keyboard.
std::string bluetoothBackendProblem();

// The Bluetooth backend that $VEMLO_BLUETOOTH names: "sim" for the simulated keyboard, "off" for
// none at all (the lever is then unknown, which approves nothing), "bluez" (or nothing) for BlueZ.
// Callers check bluetoothBackendProblem() first; a name it refuses also means BlueZ here. The
// simulated keyboard is never chosen implicitly, because a lever at 0 approves tools automatically.
// `log` receives the backend's own failure lines (an unreachable bus, a failed call), on the main
// queue; without it they go to standard error.
std::unique_ptr<BluetoothCentral> makeBluetoothCentral(MainQueue& queue, CentralDelegate& delegate,
                                                       std::function<void(const std::string&)> log = {});

}  // namespace vemlo
