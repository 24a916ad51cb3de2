#include "sysinfo/Crc8.h"

namespace machine_id {

uint8_t Crc8Maxim(const void* data, size_t size) {
    const auto* bytes = static_cast<const uint8_t*>(data);
    uint8_t crc = 0;
    for (size_t i = 0; i < size; ++i) {
        crc ^= bytes[i];
        for (int bit = 0; bit < 8; ++bit) crc = (crc & 1) ? static_cast<uint8_t>((crc >> 1) ^ 0x8C) : crc >> 1;
    }
    return crc;
}

}  // namespace machine_id
