// What the machine identifiers read from the machine: processor identification,
// the system disk's serial number, the network adapter's permanent address, the
// process's elevation. The real probe asks the hardware through Windows device
// interfaces; where a machine (or Wine) gives no answer the component is empty.
// Tests substitute chosen values through IHardwareProbe.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace machine_id {

class IHardwareProbe {
public:
    virtual ~IHardwareProbe() = default;

    // Components of "mid" (ANSI texts; empty when the machine does not answer).
    virtual std::string MidProcessorText() = 0;  // "%s:%08x": vendor, features
    virtual std::string MidDiskSerial() = 0;
    virtual std::string MidMacAddress() = 0;      // 12 upper-case hex digits

    // Components of "mid2".
    virtual std::string Mid2ProcessorText() = 0;  // "%s,%x,%s": vendor, signature, brand
    virtual std::string Mid2AdapterText() = 0;    // 12 upper-case hex digits
    virtual std::string Mid2DiskText() = 0;       // serial, then model or vendor and product

    virtual bool IsElevated() = 0;
    virtual bool NewGuid(GUID& guid) = 0;
    virtual void Pause(DWORD milliseconds) = 0;
};

// The process's real probe. Processor texts are computed once per process.
IHardwareProbe& RealHardwareProbe();

// The decisions inside the probes, separated from the device calls.
namespace probe_rules {

// Removes blanks at the end, or at both ends.
std::string TrimTrailingBlanks(std::string text);
std::string TrimBlanks(const std::string& text);

// Processor vendor as leaf 0 reports it (EBX, EDX, ECX), with the erratum
// spelling "GenuineIotel" corrected.
std::string VendorText(uint32_t ebx, uint32_t edx, uint32_t ecx);

// "mid": serial number from ATA IDENTIFY data (words 10 to 19, high byte first),
// trailing blanks removed.
std::string MidIdentifySerial(const uint8_t* identify, size_t size);
// "mid": serial number text of a storage device descriptor: hexadecimal pairs
// are decoded when the text is made of them (blank = 0) and decode to printable
// bytes; otherwise the text itself when printable; bytes then swapped in pairs.
std::string MidDescriptorSerial(const std::string& raw);

// "mid2": ATA IDENTIFY text of bytes [from, to), swapped in pairs, blanks trimmed.
std::string Mid2IdentifyText(const uint8_t* identify, size_t size, size_t from, size_t to);
// "mid2": serial number text of a storage device descriptor (4 to 40 characters;
// 40 hex digits are decoded; pairs swapped when the system swaps them itself).
std::string Mid2DescriptorSerial(const std::string& raw, bool swapPairs);
// "mid2": whether a drive may be the system disk (not removable, not on a bus
// that carries external or virtual disks).
bool IsSystemDiskCandidate(bool removable, int busType);
// A zero-terminated text at `offset` of a descriptor of `size` bytes; false when
// the offset is 0 or does not lie inside.
bool DescriptorText(const uint8_t* descriptor, size_t size, DWORD offset, std::string& text);

// "mid2", adapter method A: applies the extended and plain physical-medium
// answers to the adapter's wireless flag; false when the adapter is rejected.
bool ApplyPhysicalMedium(bool extendedOk, ULONG extended, bool plainOk, ULONG plain, bool& wireless);
// "mid2", adapter method B: classifies an IP helper adapter by type and
// description; false when the adapter is skipped.
bool ClassifyIpAdapter(UINT type, const std::string& description, bool& wireless);

struct AdapterCandidate {
    std::string address;  // 12 upper-case hex digits
    bool wireless = false;
};
// The smallest wired address, or without any wired one the smallest wireless one.
std::string PickAdapterAddress(const std::vector<AdapterCandidate>& candidates);

// "%02X" six times.
std::string MacText(const uint8_t* address);

}  // namespace probe_rules

}  // namespace machine_id
