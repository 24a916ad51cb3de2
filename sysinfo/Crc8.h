// CRC-8/MAXIM (Dallas 1-Wire): reflected polynomial 0x31, initial value 0, no
// final XOR. The check value of "123456789" is 0xA1.
#pragma once

#include <cstddef>
#include <cstdint>

namespace machine_id {

uint8_t Crc8Maxim(const void* data, size_t size);

}  // namespace machine_id
