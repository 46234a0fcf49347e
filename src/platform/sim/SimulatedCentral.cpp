#include "platform/sim/SimulatedCentral.h"

#include "platform/Files.h"
#include "platform/Paths.h"
#include "platform/sim/GattObjects.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstdlib>

namespace vemlo {
namespace {

std::optional<long> parseNumber(std::string_view text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ' || text.back() == '\r')) text.remove_suffix(1);
    while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
    long value = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

// The keyboard's side of the frame protocol: header AA BB, a type byte, the body, trailer CC DD.
constexpr std::array<uint8_t, 5> kStatusRequest{0xAA, 0xBB, 0x00, 0xCC, 0xDD};
constexpr uint8_t kStateCommand = 0x90;

std::vector<uint8_t> statusFrame(const std::vector<uint8_t>& body) {
    std::vector<uint8_t> frame{0xAA, 0xBB, 0x00};
    frame.insert(frame.end(), body.begin(), body.end());
    frame.push_back(0xCC);
    frame.push_back(0xDD);
    return frame;
}

std::optional<long> envNumber(const char* name) {
    const char* v = std::getenv(name);
    return v ? parseNumber(v) : std::nullopt;
}

}  // namespace

class SimulatedCentral::Keyboard final : public Peripheral {
public:
    Keyboard(MainQueue& queue, std::weak_ptr<bool> alive, Options options)
        : queue_(queue), alive_(std::move(alive)), options_(std::move(options)), lever_(options_.lever) {
        command_ = std::make_shared<BasicCharacteristic>(bluetoothUuid(0x7343), kPropertyWriteWithoutResponse);
        notify_ = std::make_shared<BasicCharacteristic>(bluetoothUuid(0x7344), kPropertyNotify);
        service_ = std::make_shared<BasicService>(bluetoothUuid(0x7340),
                                                  std::vector<std::shared_ptr<Characteristic>>{command_, notify_});
    }

    std::string identifier() const override { return "5E1A0C3B-7340-4D0E-9A5B-564D4C4F5349"; }
    std::optional<std::string> name() const override { return "Vemlo Sim"; }
    void setDelegate(PeripheralDelegate* delegate) override { delegate_ = delegate; }

    void discoverServices(const std::vector<std::string>&) override {
        servicesKnown_ = true;
        later([this] {
            if (delegate_) delegate_->didDiscoverServices(*this);
        });
    }
    void discoverCharacteristics(const std::vector<std::string>&, Service&) override {
        later([this] {
            if (delegate_) delegate_->didDiscoverCharacteristics(*this, *service_);
        });
    }
    std::optional<std::vector<std::shared_ptr<Service>>> services() const override {
        if (!servicesKnown_) return std::nullopt;
        return std::vector<std::shared_ptr<Service>>{service_};
    }
    void setNotifyValue(bool enabled, Characteristic&) override { notifying_ = enabled; }

    void writeValue(const std::vector<uint8_t>& bytes, Characteristic&, WriteType) override {
        if (std::equal(bytes.begin(), bytes.end(), kStatusRequest.begin(), kStatusRequest.end())) {
            later([this] { answerStatus(); }, options_.replyDelay);
        } else if (bytes.size() == 6 && bytes[0] == 0xAA && bytes[2] == kStateCommand) {
            lastLedState_ = bytes[3];
        }
    }

    std::optional<uint8_t> lastLedState() const { return lastLedState_; }

private:
    void answerStatus() {
        if (!options_.leverFile.empty()) readLeverFile();
        if (!notifying_) return;
        // battery 87 %, signal -55 dBm, firmware 1.0, work mode 1, light mode 2, then the lever.
        notify_->setValue(statusFrame({87, static_cast<uint8_t>(-55), 1, 0, 1, 2, lever_}));
        if (delegate_) delegate_->didUpdateValue(*this, *notify_);
    }

    // A missing file is the usual case and says nothing; anything else that leaves the lever where
    // it was is said once, until the file changes to another problem or becomes usable.
    void readLeverFile() {
        std::string problem, err;
        if (auto text = files::readFile(options_.leverFile, &err)) {
            if (auto v = parseNumber(*text); v && *v >= 0 && *v <= 255)
                lever_ = static_cast<uint8_t>(*v);
            else
                problem = "does not hold a number from 0 to 255";
        } else if (files::nameTaken(options_.leverFile)) {
            problem = "cannot be read: " + err;
        }
        if (problem == leverFileProblem_) return;
        leverFileProblem_ = problem;
        if (!problem.empty() && options_.log)
            options_.log("simulated keyboard: the lever file " + options_.leverFile + " " + problem +
                         "; lever stays at " + std::to_string(lever_));
    }

    template <typename F>
    void later(F f, MainQueue::Duration delay = MainQueue::Duration::zero()) {
        auto task = [alive = alive_, f] {
            if (alive.lock()) f();
        };
        if (delay.count() > 0)
            queue_.runAfter(delay, task);
        else
            queue_.post(task);
    }

    MainQueue& queue_;
    std::weak_ptr<bool> alive_;
    Options options_;
    uint8_t lever_;
    PeripheralDelegate* delegate_ = nullptr;
    std::shared_ptr<BasicCharacteristic> command_;
    std::shared_ptr<BasicCharacteristic> notify_;
    std::shared_ptr<BasicService> service_;
    bool servicesKnown_ = false;
    bool notifying_ = false;
    std::optional<uint8_t> lastLedState_;
    std::string leverFileProblem_;
};

SimulatedCentral::Options SimulatedCentral::optionsFromEnvironment(const std::string& home) {
    Options options;
    if (auto lever = envNumber("VEMLO_SIM_LEVER"); lever && *lever >= 0 && *lever <= 255)
        options.lever = static_cast<uint8_t>(*lever);
    const char* file = std::getenv("VEMLO_SIM_LEVER_FILE");
    options.leverFile = file && *file ? file : paths::simLeverFile(home);
    if (auto delay = envNumber("VEMLO_SIM_DELAY_MS"); delay && *delay >= 0)
        options.replyDelay = std::chrono::milliseconds(*delay);
    return options;
}

SimulatedCentral::SimulatedCentral(MainQueue& queue, CentralDelegate& delegate, Options options)
    : queue_(queue), delegate_(delegate), keyboard_(std::make_shared<Keyboard>(queue, alive_, std::move(options))) {
    // Like a real stack, the power state is reported after creation, not during it.
    queue_.post([this, alive = std::weak_ptr<bool>(alive_)] {
        if (alive.lock()) delegate_.centralDidUpdateState();
    });
}

SimulatedCentral::~SimulatedCentral() { alive_.reset(); }

std::vector<std::shared_ptr<Peripheral>> SimulatedCentral::retrievePeripherals(
    const std::vector<std::string>& identifiers) {
    for (const auto& id : identifiers)
        if (id == keyboard_->identifier()) return {keyboard_};
    return {};
}

// The simulated keyboard is never connected by the system, so the agent finds it by scanning.
std::vector<std::shared_ptr<Peripheral>> SimulatedCentral::retrieveConnectedPeripherals(
    const std::vector<std::string>&) {
    return {};
}

void SimulatedCentral::scanForPeripherals(const std::vector<std::string>&) {
    scanning_ = true;
    queue_.post([this, alive = std::weak_ptr<bool>(alive_)] {
        if (alive.lock() && scanning_) delegate_.didDiscover(keyboard_, std::string("Vemlo Sim"));
    });
}

void SimulatedCentral::connect(std::shared_ptr<Peripheral> peripheral) {
    queue_.post([this, alive = std::weak_ptr<bool>(alive_), peripheral] {
        if (alive.lock()) delegate_.didConnect(peripheral);
    });
}

}  // namespace vemlo
