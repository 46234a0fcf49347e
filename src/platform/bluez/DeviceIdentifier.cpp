#include "platform/bluez/DeviceIdentifier.h"

#include <cctype>
#include <cstdio>
#include <vector>

namespace vemlo::bluez {
namespace {

// Our own namespace for device identifiers, so they never collide with other name-based UUIDs.
constexpr Uuid kDeviceNamespace{0xf1, 0xc4, 0x20, 0xba, 0x79, 0x9b, 0x49, 0x58,
                                0x9b, 0x37, 0x3b, 0xa8, 0xd6, 0x77, 0x1a, 0xf5};

uint32_t rotl(uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }

// SHA-1 is needed only for the identifiers, so a small local implementation beats a crypto library.
std::array<uint8_t, 20> sha1(const std::vector<uint8_t>& input) {
    uint32_t h[5] = {0x67452301, 0xEFCDAB89, 0x98BADCFE, 0x10325476, 0xC3D2E1F0};
    std::vector<uint8_t> msg = input;
    const uint64_t bitLength = static_cast<uint64_t>(input.size()) * 8;
    msg.push_back(0x80);
    while (msg.size() % 64 != 56) msg.push_back(0);
    for (int i = 7; i >= 0; --i) msg.push_back(static_cast<uint8_t>(bitLength >> (i * 8)));

    for (size_t chunk = 0; chunk < msg.size(); chunk += 64) {
        uint32_t w[80];
        for (int i = 0; i < 16; ++i) {
            const uint8_t* p = &msg[chunk + static_cast<size_t>(i) * 4];
            w[i] = (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | uint32_t(p[3]);
        }
        for (int i = 16; i < 80; ++i) w[i] = rotl(w[i - 3] ^ w[i - 8] ^ w[i - 14] ^ w[i - 16], 1);
        uint32_t a = h[0], b = h[1], c = h[2], d = h[3], e = h[4];
        for (int i = 0; i < 80; ++i) {
            uint32_t f, k;
            if (i < 20) {
                f = (b & c) | (~b & d);
                k = 0x5A827999;
            } else if (i < 40) {
                f = b ^ c ^ d;
                k = 0x6ED9EBA1;
            } else if (i < 60) {
                f = (b & c) | (b & d) | (c & d);
                k = 0x8F1BBCDC;
            } else {
                f = b ^ c ^ d;
                k = 0xCA62C1D6;
            }
            const uint32_t t = rotl(a, 5) + f + e + k + w[i];
            e = d;
            d = c;
            c = rotl(b, 30);
            b = a;
            a = t;
        }
        h[0] += a;
        h[1] += b;
        h[2] += c;
        h[3] += d;
        h[4] += e;
    }
    std::array<uint8_t, 20> out{};
    for (int i = 0; i < 5; ++i)
        for (int j = 0; j < 4; ++j) out[static_cast<size_t>(i * 4 + j)] = static_cast<uint8_t>(h[i] >> (24 - j * 8));
    return out;
}

}  // namespace

Uuid nameBasedUuid(const Uuid& nameSpace, const std::string& name) {
    std::vector<uint8_t> input(nameSpace.begin(), nameSpace.end());
    input.insert(input.end(), name.begin(), name.end());
    const auto digest = sha1(input);
    Uuid uuid{};
    for (size_t i = 0; i < uuid.size(); ++i) uuid[i] = digest[i];
    uuid[6] = static_cast<uint8_t>((uuid[6] & 0x0F) | 0x50);
    uuid[8] = static_cast<uint8_t>((uuid[8] & 0x3F) | 0x80);
    return uuid;
}

std::string uuidText(const Uuid& uuid) {
    std::string text;
    char digits[3];
    for (size_t i = 0; i < uuid.size(); ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) text += '-';
        std::snprintf(digits, sizeof digits, "%02X", uuid[i]);
        text += digits;
    }
    return text;
}

std::string deviceIdentifier(const std::string& address) {
    std::string upper;
    for (char c : address) upper += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return uuidText(nameBasedUuid(kDeviceNamespace, upper));
}

}  // namespace vemlo::bluez
