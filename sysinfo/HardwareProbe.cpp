#include "sysinfo/HardwareProbe.h"

#include <windows.h>
#include <winioctl.h>
#include <iptypes.h>
#include <nb30.h>
#include <objbase.h>
#include <cpuid.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <cwctype>
#include <map>
#include <memory>
#include <set>

#include "app/base/Locker.h"
#include "app/base/SystemLibrary.h"
#include "app/base/WinHandle.h"

namespace machine_id {

namespace probe_rules {

namespace {

bool IsBlank(char c) { return c == ' '; }

bool IsHexDigit(char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; }

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return 0;  // a blank counts as 0
}

bool IsPrintable(unsigned char c) { return c >= 0x20 && c < 0x7f; }

void SwapPairs(std::string& bytes) {
    for (size_t i = 0; i + 1 < bytes.size(); i += 2) std::swap(bytes[i], bytes[i + 1]);
}

std::string CutAtZero(std::string text) {
    size_t zero = text.find('\0');
    if (zero != std::string::npos) text.resize(zero);
    return text;
}

std::string LowerAscii(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

}  // namespace

std::string TrimTrailingBlanks(std::string text) {
    while (!text.empty() && IsBlank(text.back())) text.pop_back();
    return text;
}

std::string TrimBlanks(const std::string& text) {
    size_t begin = 0;
    while (begin < text.size() && IsBlank(text[begin])) ++begin;
    return TrimTrailingBlanks(text.substr(begin));
}

std::string VendorText(uint32_t ebx, uint32_t edx, uint32_t ecx) {
    char vendor[13] = {};
    std::memcpy(vendor, &ebx, 4);
    std::memcpy(vendor + 4, &edx, 4);
    std::memcpy(vendor + 8, &ecx, 4);
    std::string text(vendor);
    if (text == "GenuineIotel") text = "GenuineIntel";
    return text;
}

std::string MidIdentifySerial(const uint8_t* identify, size_t size) {
    if (identify == nullptr || size < 40) return std::string();
    // Words 10 to 19, each word's high byte first.
    std::string serial(reinterpret_cast<const char*>(identify) + 20, 20);
    SwapPairs(serial);
    return TrimTrailingBlanks(CutAtZero(serial));
}

std::string MidDescriptorSerial(const std::string& raw) {
    std::string bytes;
    bool hexPairs = !raw.empty() && raw.size() % 2 == 0 &&
                    std::all_of(raw.begin(), raw.end(), [](char c) { return IsHexDigit(c) || IsBlank(c); });
    bool decoded = false;
    if (hexPairs) {
        std::string candidate;
        for (size_t i = 0; i < raw.size(); i += 2)
            candidate += static_cast<char>(HexValue(raw[i]) << 4 | HexValue(raw[i + 1]));
        if (std::all_of(candidate.begin(), candidate.end(),
                        [](char c) { return c == '\0' || IsPrintable(static_cast<unsigned char>(c)); })) {
            bytes = candidate;
            decoded = true;
        }
    }
    if (!decoded) {
        if (!std::all_of(raw.begin(), raw.end(), [](char c) { return IsPrintable(static_cast<unsigned char>(c)); }))
            return std::string();
        bytes = raw;
    }
    SwapPairs(bytes);
    return CutAtZero(bytes);
}

std::string Mid2IdentifyText(const uint8_t* identify, size_t size, size_t from, size_t to) {
    if (identify == nullptr || from >= to || to > size) return std::string();
    std::string text(reinterpret_cast<const char*>(identify) + from, to - from);
    SwapPairs(text);
    return TrimBlanks(CutAtZero(text));
}

std::string Mid2DescriptorSerial(const std::string& raw, bool swapPairs) {
    if (raw.size() < 4 || raw.size() > 40) return std::string();
    std::string bytes = raw;
    if (raw.size() == 40 && std::all_of(raw.begin(), raw.end(), IsHexDigit)) {
        bytes.clear();
        for (size_t i = 0; i < raw.size(); i += 2)
            bytes += static_cast<char>(HexValue(raw[i]) << 4 | HexValue(raw[i + 1]));
    }
    // Windows 7 and older hand out ATA serial numbers with each byte pair swapped.
    if (swapPairs) SwapPairs(bytes);
    return TrimBlanks(CutAtZero(bytes));
}

bool IsSystemDiskCandidate(bool removable, int busType) {
    if (removable) return false;
    switch (busType) {
        case 1:   // SCSI
        case 4:   // 1394
        case 7:   // USB
        case 10:  // SAS
        case 14:  // virtual
        case 15:  // file-backed virtual
            return false;
        default:
            return true;
    }
}

bool DescriptorText(const uint8_t* descriptor, size_t size, DWORD offset, std::string& text) {
    if (descriptor == nullptr || offset == 0 || offset >= size) return false;
    const char* begin = reinterpret_cast<const char*>(descriptor) + offset;
    const char* end = reinterpret_cast<const char*>(descriptor) + size;
    text.assign(begin, std::find(begin, end, '\0'));
    return true;
}

bool ApplyPhysicalMedium(bool extendedOk, ULONG extended, bool plainOk, ULONG plain, bool& wireless) {
    if (extendedOk && extended != 0) {
        if (extended == 14) return true;  // 802.3
        if (extended == 1 || extended == 9) {  // wireless LAN, native 802.11
            wireless = true;
            return true;
        }
        return false;
    }
    if (!plainOk) return true;
    switch (plain) {
        case 2: case 3: case 7: case 8: case 10: case 12: case 16: case 17: case 18:
            return false;  // cable modem, phone line, WAN, Bluetooth, IrDA and the like
        case 1: case 9:
            wireless = true;
            return true;
        default:
            wireless = false;
            return true;
    }
}

bool ClassifyIpAdapter(UINT type, const std::string& description, bool& wireless) {
    if (type == 71) {  // IEEE 802.11
        wireless = true;
        return true;
    }
    if (type == 6) {  // Ethernet, which some wireless drivers also report
        std::string lower = LowerAscii(description);
        wireless = lower.find("wifi") != std::string::npos || lower.find("wireless") != std::string::npos;
        return true;
    }
    return false;
}

std::string PickAdapterAddress(const std::vector<AdapterCandidate>& candidates) {
    const AdapterCandidate* best = nullptr;
    for (const AdapterCandidate& candidate : candidates) {
        if (candidate.address.empty()) continue;
        if (best == nullptr || (best->wireless && !candidate.wireless) ||
            (best->wireless == candidate.wireless && candidate.address < best->address))
            best = &candidate;
    }
    return best ? best->address : std::string();
}

std::string MacText(const uint8_t* a) {
    char text[13];
    std::snprintf(text, sizeof text, "%02X%02X%02X%02X%02X%02X", a[0], a[1], a[2], a[3], a[4], a[5]);
    return text;
}

}  // namespace probe_rules

namespace {

using namespace probe_rules;

constexpr size_t kProcessorTextLimit = 127;
constexpr int kMaxDrives = 16;
constexpr DWORD kIoctlNdisQueryGlobalStats = 0x00170002;
constexpr DWORD kIoctlScsiMiniport = 0x0004d008;
constexpr DWORD kIoctlScsiMiniportIdentify = 0x001b0501;
constexpr ULONG kOidPermanentAddress = 0x01010101;
constexpr ULONG kOidPhysicalMediumEx = 0x00010213;
constexpr ULONG kOidPhysicalMedium = 0x00010202;
constexpr wchar_t kNetworkCardsKey[] = L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\NetworkCards";
constexpr wchar_t kAdapterClassKey[] =
    L"SYSTEM\\CurrentControlSet\\Control\\Class\\{4D36E972-E325-11CE-BFC1-08002BE10318}";

struct ScsiIoControl {  // SRB_IO_CONTROL
    ULONG HeaderLength;
    UCHAR Signature[8];
    ULONG Timeout;
    ULONG ControlCode;
    ULONG ReturnCode;
    ULONG Length;
};

// ---- Windows version and elevation ----------------------------------------

bool NtVersion(DWORD& major, DWORD& minor) {
    using RtlGetNtVersionNumbersFn = void(WINAPI*)(DWORD*, DWORD*, DWORD*);
    auto query = win::SystemFunction<RtlGetNtVersionNumbersFn>(L"ntdll.dll", "RtlGetNtVersionNumbers");
    if (query == nullptr) return false;
    DWORD build = 0;
    query(&major, &minor, &build);
    return true;
}

bool IsWindows7OrOlder() {
    DWORD major = 0, minor = 0;
    return NtVersion(major, minor) && (major < 6 || (major == 6 && minor <= 1));
}

bool ProcessIsElevated() {
    DWORD major = 0, minor = 0;
    if (!NtVersion(major, minor) || major < 6) return true;
    win::UniqueHandle token;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, token.put())) return true;
    TOKEN_ELEVATION elevation = {};
    DWORD size = 0;
    if (!::GetTokenInformation(token.get(), TokenElevation, &elevation, sizeof elevation, &size)) return true;
    return elevation.TokenIsElevated != 0;
}

// ---- Registry ----------------------------------------------------------------

bool ReadString(HKEY key, const wchar_t* name, std::wstring& text) {
    DWORD type = 0;
    DWORD bytes = 0;
    if (::RegQueryValueExW(key, name, nullptr, &type, nullptr, &bytes) != ERROR_SUCCESS) return false;
    if ((type != REG_SZ && type != REG_EXPAND_SZ) || bytes > 8192) return false;
    std::wstring buffer(bytes / sizeof(wchar_t) + 1, L'\0');
    if (::RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&buffer[0]), &bytes) != ERROR_SUCCESS)
        return false;
    buffer.resize(std::min<size_t>(bytes / sizeof(wchar_t), buffer.size()));
    size_t zero = buffer.find(L'\0');
    if (zero != std::wstring::npos) buffer.resize(zero);
    text = buffer;
    return true;
}

win::UniqueRegKey OpenKey(HKEY parent, const wchar_t* path) {
    win::UniqueRegKey key;
    if (::RegOpenKeyExW(parent, path, 0, KEY_READ, key.put()) != ERROR_SUCCESS) key.reset();
    return key;
}

bool EnumSubkey(HKEY key, DWORD index, std::wstring& name, bool& done) {
    wchar_t buffer[256];
    DWORD length = 256;
    LONG result = ::RegEnumKeyExW(key, index, buffer, &length, nullptr, nullptr, nullptr, nullptr);
    done = (result == ERROR_NO_MORE_ITEMS);
    if (result != ERROR_SUCCESS) return false;
    name.assign(buffer, length);
    return true;
}

std::wstring LowerWide(std::wstring text) {
    for (wchar_t& c : text) c = static_cast<wchar_t>(std::towlower(c));
    return text;
}

bool ContainsNoCase(const std::wstring& text, const wchar_t* part) {
    return LowerWide(text).find(LowerWide(part)) != std::wstring::npos;
}

// An adapter instance id names a device object; anything that could walk
// elsewhere in the object namespace is refused.
bool IsPlainDeviceName(const std::wstring& id) {
    return !id.empty() && id.size() < 128 && id.find_first_of(L"\\/:") == std::wstring::npos;
}

// ---- Processor -----------------------------------------------------------

struct CpuidRegs {
    unsigned a = 0, b = 0, c = 0, d = 0;
};

// False when the processor does not report the leaf. (Every processor this
// i686 program can run on has the identification instruction itself.)
bool Cpuid(unsigned leaf, CpuidRegs& r) {
    if (__get_cpuid_max(leaf & 0x80000000u, nullptr) < leaf) return false;
    __cpuid(leaf, r.a, r.b, r.c, r.d);
    return true;
}

std::string LimitProcessorText(std::string text) {
    if (text.size() > kProcessorTextLimit) text.resize(kProcessorTextLimit);
    return text;
}

std::string ComputeMidProcessorText() {
    CpuidRegs leaf0, leaf1;
    if (!Cpuid(0, leaf0) || !Cpuid(1, leaf1)) return std::string();
    char text[160];
    std::snprintf(text, sizeof text, "%s:%08x", VendorText(leaf0.b, leaf0.d, leaf0.c).c_str(), leaf1.d);
    return LimitProcessorText(text);
}

std::string ComputeMid2ProcessorText() {
    CpuidRegs leaf0;
    if (!Cpuid(0, leaf0)) return std::string();
    std::string vendor = TrimBlanks(VendorText(leaf0.b, leaf0.d, leaf0.c));
    unsigned signature = 0;
    CpuidRegs leaf1;
    if (leaf0.a >= 1 && Cpuid(1, leaf1)) signature = leaf1.a;
    std::string brand;
    CpuidRegs extended;
    if (Cpuid(0x80000000u, extended) && extended.a >= 0x80000004u) {
        char text[49] = {};
        for (unsigned i = 0; i < 3; ++i) {
            CpuidRegs part;
            __cpuid(0x80000002u + i, part.a, part.b, part.c, part.d);
            std::memcpy(text + 16 * i, &part.a, 4);
            std::memcpy(text + 16 * i + 4, &part.b, 4);
            std::memcpy(text + 16 * i + 8, &part.c, 4);
            std::memcpy(text + 16 * i + 12, &part.d, 4);
        }
        brand = TrimBlanks(text);
    }
    char text[200];
    std::snprintf(text, sizeof text, "%s,%x,%s", vendor.c_str(), signature, brand.c_str());
    return LimitProcessorText(text);
}

// A processor text computed once per process; an empty answer is not kept, so
// a later caller tries again.
class ProcessorTextOnce {
public:
    explicit ProcessorTextOnce(std::string (*compute)()) : compute_(compute) {}
    std::string Get() {
        _BaseModule::CAutoLocker hold(lock_);
        if (!kept_) {
            text_ = compute_();
            kept_ = !text_.empty();
        }
        return text_;
    }

private:
    std::string (*compute_)();
    _BaseModule::CCriticalSection lock_;
    bool kept_ = false;
    std::string text_;
};

// ---- Devices -------------------------------------------------------------

win::UniqueFile OpenDevice(const std::wstring& path, DWORD access, DWORD share) {
    return win::UniqueFile(
        ::CreateFileW(path.c_str(), access, share, nullptr, OPEN_EXISTING, 0, nullptr));
}

std::wstring PhysicalDrivePath(int drive) {
    wchar_t path[64];
    std::swprintf(path, 64, L"\\\\.\\PhysicalDrive%d", drive);
    return path;
}

// IDENTIFY through SMART_RCV_DRIVE_DATA into `identify` (512 bytes).
bool SmartIdentify(HANDLE device, const IDEREGS& registers, BYTE driveNumber, uint8_t* identify) {
    SENDCMDINPARAMS in = {};
    in.cBufferSize = IDENTIFY_BUFFER_SIZE;
    in.irDriveRegs = registers;
    in.bDriveNumber = driveNumber;
    alignas(8) uint8_t out[sizeof(SENDCMDOUTPARAMS) + IDENTIFY_BUFFER_SIZE] = {};
    DWORD returned = 0;
    if (!::DeviceIoControl(device, SMART_RCV_DRIVE_DATA, &in, sizeof(SENDCMDINPARAMS) - 1, out,
                           sizeof(SENDCMDOUTPARAMS) + IDENTIFY_BUFFER_SIZE - 1, &returned, nullptr))
        return false;
    std::memcpy(identify, out + offsetof(SENDCMDOUTPARAMS, bBuffer), IDENTIFY_BUFFER_SIZE);
    return true;
}

bool SmartVersion(HANDLE device, GETVERSIONINPARAMS& version) {
    DWORD returned = 0;
    version = {};
    return ::DeviceIoControl(device, SMART_GET_VERSION, nullptr, 0, &version, sizeof version, &returned,
                             nullptr) != FALSE;
}

IDEREGS IdentifyRegisters(int drive, BYTE command) {
    IDEREGS registers = {};
    registers.bSectorCountReg = 1;
    registers.bSectorNumberReg = 1;
    registers.bDriveHeadReg = (drive & 1) ? 0xB0 : 0xA0;
    registers.bCommandReg = command;
    return registers;
}

// Reads the storage device descriptor into `buffer`; the number of valid bytes.
size_t QueryDeviceDescriptor(HANDLE device, uint8_t* buffer, size_t capacity) {
    STORAGE_PROPERTY_QUERY query = {};
    query.PropertyId = StorageDeviceProperty;
    query.QueryType = PropertyStandardQuery;
    DWORD returned = 0;
    std::memset(buffer, 0, capacity);
    if (!::DeviceIoControl(device, IOCTL_STORAGE_QUERY_PROPERTY, &query, sizeof query, buffer,
                           static_cast<DWORD>(capacity), &returned, nullptr))
        return 0;
    size_t size = std::min<size_t>(returned, capacity);
    if (size < sizeof(STORAGE_DEVICE_DESCRIPTOR) - 1) return 0;
    return size;
}

// "mid" disk methods; each tries drives 0 to 15 and stops at the first serial.
std::string MidSerialBySmart() {
    for (int drive = 0; drive < kMaxDrives; ++drive) {
        win::UniqueFile device =
            OpenDevice(PhysicalDrivePath(drive), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE);
        if (!device) continue;
        GETVERSIONINPARAMS version;
        if (!SmartVersion(device.get(), version) || version.bIDEDeviceMap == 0) continue;
        bool atapi = drive + 4 < 8 && ((version.bIDEDeviceMap >> (drive + 4)) & 1);
        uint8_t identify[IDENTIFY_BUFFER_SIZE];
        if (!SmartIdentify(device.get(), IdentifyRegisters(drive, atapi ? 0xA1 : 0xEC), static_cast<BYTE>(drive),
                           identify))
            continue;
        std::string serial = MidIdentifySerial(identify, sizeof identify);
        if (!serial.empty()) return serial;
    }
    return std::string();
}

std::string MidSerialByScsiMiniport() {
    for (int controller = 0; controller < kMaxDrives; ++controller) {
        wchar_t path[32];
        std::swprintf(path, 32, L"\\\\.\\Scsi%d:", controller);
        win::UniqueFile device = OpenDevice(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE);
        if (!device) continue;
        for (BYTE target = 0; target < 2; ++target) {
            constexpr size_t kPayload = sizeof(SENDCMDOUTPARAMS) + IDENTIFY_BUFFER_SIZE - 1;
            alignas(8) uint8_t buffer[sizeof(ScsiIoControl) + kPayload + 1] = {};
            auto* control = reinterpret_cast<ScsiIoControl*>(buffer);
            control->HeaderLength = sizeof(ScsiIoControl);
            std::memcpy(control->Signature, "SCSIDISK", 8);
            control->Timeout = 10000;
            control->ControlCode = kIoctlScsiMiniportIdentify;
            control->Length = kPayload;
            auto* in = reinterpret_cast<SENDCMDINPARAMS*>(buffer + sizeof(ScsiIoControl));
            in->irDriveRegs.bCommandReg = 0xEC;
            in->bDriveNumber = target;
            DWORD returned = 0;
            if (!::DeviceIoControl(device.get(), kIoctlScsiMiniport, buffer,
                                   sizeof(ScsiIoControl) + sizeof(SENDCMDINPARAMS) - 1, buffer,
                                   sizeof(ScsiIoControl) + kPayload, &returned, nullptr))
                continue;
            const uint8_t* identify = buffer + sizeof(ScsiIoControl) + offsetof(SENDCMDOUTPARAMS, bBuffer);
            std::string serial = MidIdentifySerial(identify, IDENTIFY_BUFFER_SIZE);
            if (!serial.empty()) return serial;
        }
    }
    return std::string();
}

std::string MidSerialByStorageProperty() {
    for (int drive = 0; drive < kMaxDrives; ++drive) {
        win::UniqueFile device = OpenDevice(PhysicalDrivePath(drive), 0, FILE_SHARE_READ | FILE_SHARE_WRITE);
        if (!device) continue;
        std::unique_ptr<uint8_t[]> buffer(new uint8_t[10000]);
        size_t size = QueryDeviceDescriptor(device.get(), buffer.get(), 10000);
        if (size == 0) continue;
        const auto* descriptor = reinterpret_cast<const STORAGE_DEVICE_DESCRIPTOR*>(buffer.get());
        std::string raw;
        if (!DescriptorText(buffer.get(), size, descriptor->SerialNumberOffset, raw)) continue;
        std::string serial = TrimTrailingBlanks(MidDescriptorSerial(raw));
        if (!serial.empty()) return serial;
    }
    return std::string();
}

std::string MidSerialBySmartShared() {
    for (int drive = 0; drive < kMaxDrives; ++drive) {
        win::UniqueFile device = OpenDevice(PhysicalDrivePath(drive), GENERIC_READ | GENERIC_WRITE,
                                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
        if (!device) continue;
        GETVERSIONINPARAMS version;
        if (!SmartVersion(device.get(), version)) continue;
        IDEREGS registers = {};
        registers.bCommandReg = 0xEC;
        uint8_t identify[IDENTIFY_BUFFER_SIZE];
        if (!SmartIdentify(device.get(), registers, 0, identify)) continue;
        std::string serial = MidIdentifySerial(identify, sizeof identify);
        if (!serial.empty()) return serial;
    }
    return std::string();
}

std::string Mid2DiskFromDrive(int drive) {
    win::UniqueFile device = OpenDevice(PhysicalDrivePath(drive), 0, FILE_SHARE_READ | FILE_SHARE_WRITE);
    if (!device) return std::string();
    alignas(8) uint8_t buffer[1000];
    size_t size = QueryDeviceDescriptor(device.get(), buffer, sizeof buffer);
    if (size == 0) return std::string();
    const auto* descriptor = reinterpret_cast<const STORAGE_DEVICE_DESCRIPTOR*>(buffer);
    if (!IsSystemDiskCandidate(descriptor->RemovableMedia != FALSE, static_cast<int>(descriptor->BusType)))
        return std::string();

    win::UniqueFile smart =
        OpenDevice(PhysicalDrivePath(drive), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE);
    GETVERSIONINPARAMS version;
    uint8_t identify[IDENTIFY_BUFFER_SIZE];
    if (smart && SmartVersion(smart.get(), version) &&
        SmartIdentify(smart.get(), IdentifyRegisters(drive, 0xEC), static_cast<BYTE>(drive), identify)) {
        std::string serial = Mid2IdentifyText(identify, sizeof identify, 20, 40);
        if (!serial.empty()) return serial + Mid2IdentifyText(identify, sizeof identify, 54, 94);
    }

    std::string raw;
    if (!DescriptorText(buffer, size, descriptor->SerialNumberOffset, raw)) return std::string();
    std::string serial = Mid2DescriptorSerial(raw, IsWindows7OrOlder());
    if (serial.empty()) return std::string();
    std::string vendor, product;
    DescriptorText(buffer, size, descriptor->VendorIdOffset, vendor);
    DescriptorText(buffer, size, descriptor->ProductIdOffset, product);
    return serial + TrimBlanks(vendor) + TrimBlanks(product);
}

// ---- Network adapters ------------------------------------------------------

bool QueryOid(HANDLE device, ULONG oid, void* out, DWORD capacity, DWORD& returned) {
    returned = 0;
    return ::DeviceIoControl(device, kIoctlNdisQueryGlobalStats, &oid, sizeof oid, out, capacity, &returned,
                             nullptr) != FALSE;
}

bool QueryUlongOid(HANDLE device, ULONG oid, ULONG& value) {
    ULONG buffer[4] = {};
    DWORD returned = 0;
    if (!QueryOid(device, oid, buffer, sizeof buffer, returned) || returned < sizeof(ULONG)) return false;
    value = buffer[0];
    return true;
}

std::string PermanentAddress(HANDLE device) {
    uint8_t address[64] = {};
    DWORD returned = 0;
    if (!QueryOid(device, kOidPermanentAddress, address, sizeof address, returned) || returned < 6)
        return std::string();
    return MacText(address);
}

win::UniqueFile OpenAdapter(const std::wstring& id) {
    if (!IsPlainDeviceName(id)) return win::UniqueFile();
    return OpenDevice(L"\\\\.\\" + id, 0, FILE_SHARE_READ | FILE_SHARE_WRITE);
}

// The service (instance id) names listed under NetworkCards, at most `limit`.
std::vector<std::wstring> NetworkCardIds(DWORD limit) {
    std::vector<std::wstring> ids;
    win::UniqueRegKey cards = OpenKey(HKEY_LOCAL_MACHINE, kNetworkCardsKey);
    if (!cards) return ids;
    for (DWORD index = 0; index < limit; ++index) {
        std::wstring name;
        bool done = false;
        if (!EnumSubkey(cards.get(), index, name, done)) {
            if (done) break;
            continue;
        }
        win::UniqueRegKey card = OpenKey(cards.get(), name.c_str());
        std::wstring id;
        if (card && ReadString(card.get(), L"ServiceName", id) && !id.empty()) ids.push_back(id);
    }
    return ids;
}

std::string MidMacByNdis() {
    std::string best;
    for (const std::wstring& id : NetworkCardIds(MAXDWORD)) {
        win::UniqueFile adapter = OpenAdapter(id);
        if (!adapter) continue;
        std::string address = PermanentAddress(adapter.get());
        if (!address.empty() && (best.empty() || ::lstrcmpA(address.c_str(), best.c_str()) < 0)) best = address;
    }
    return best;
}

std::string MidMacByNetbios() {
    using NetbiosFn = UCHAR(APIENTRY*)(PNCB);
    auto netbios = win::SystemFunction<NetbiosFn>(L"netapi32.dll", "Netbios");
    if (netbios == nullptr) return std::string();

    LANA_ENUM lanas = {};
    NCB ncb = {};
    ncb.ncb_command = NCBENUM;
    ncb.ncb_buffer = reinterpret_cast<PUCHAR>(&lanas);
    ncb.ncb_length = sizeof lanas;
    if (netbios(&ncb) != NRC_GOODRET || lanas.length == 0) return std::string();

    ncb = {};
    ncb.ncb_command = NCBRESET;
    ncb.ncb_lana_num = lanas.lana[0];
    if (netbios(&ncb) != NRC_GOODRET) return std::string();

    struct {
        ADAPTER_STATUS status;
        NAME_BUFFER names[30];
    } adapter = {};
    ncb = {};
    ncb.ncb_command = NCBASTAT;
    ncb.ncb_lana_num = lanas.lana[0];
    std::memset(ncb.ncb_callname, ' ', NCBNAMSZ);
    ncb.ncb_callname[0] = '*';
    ncb.ncb_buffer = reinterpret_cast<PUCHAR>(&adapter);
    ncb.ncb_length = sizeof adapter;
    if (netbios(&ncb) != NRC_GOODRET) return std::string();
    return MacText(adapter.status.adapter_address);
}

struct AdapterClassEntry {
    bool physical = false;
    bool wireless = false;
};

// The network adapter class entries by lower-case instance id; false when the
// class key cannot be opened.
bool LoadAdapterClass(std::map<std::wstring, AdapterClassEntry>& entries) {
    win::UniqueRegKey classKey = OpenKey(HKEY_LOCAL_MACHINE, kAdapterClassKey);
    if (!classKey) return false;
    for (DWORD index = 0; index < 256; ++index) {
        std::wstring name;
        bool done = false;
        if (!EnumSubkey(classKey.get(), index, name, done)) {
            if (done) break;
            continue;
        }
        win::UniqueRegKey adapter = OpenKey(classKey.get(), name.c_str());
        std::wstring id;
        if (!adapter || !ReadString(adapter.get(), L"NetCfgInstanceId", id) || id.empty()) continue;
        AdapterClassEntry entry;
        std::wstring busType;
        entry.physical = ReadString(adapter.get(), L"BusType", busType) && std::wcstol(busType.c_str(), nullptr, 10) == 5;
        if (entry.physical) {
            std::wstring description, lowerRange;
            if (ReadString(adapter.get(), L"DriverDesc", description) && ContainsNoCase(description, L"Wireless")) {
                entry.wireless = true;
            } else if (win::UniqueRegKey interfaces = OpenKey(adapter.get(), L"Ndi\\Interfaces")) {
                entry.wireless = ReadString(interfaces.get(), L"LowerRange", lowerRange) &&
                                 (ContainsNoCase(lowerRange, L"wlan") || ContainsNoCase(lowerRange, L"vwifi"));
            }
        }
        entries[LowerWide(id)] = entry;
    }
    return true;
}

std::string Mid2AdapterByNdis(const std::map<std::wstring, AdapterClassEntry>& entries, bool classKnown) {
    std::vector<AdapterCandidate> candidates;
    for (const std::wstring& id : NetworkCardIds(100)) {
        AdapterCandidate candidate;
        if (classKnown) {
            auto found = entries.find(LowerWide(id));
            if (found != entries.end()) {
                if (!found->second.physical) continue;
                candidate.wireless = found->second.wireless;
            }
        }
        win::UniqueFile adapter = OpenAdapter(id);
        if (!adapter) continue;
        ULONG extended = 0, plain = 0;
        bool extendedOk = QueryUlongOid(adapter.get(), kOidPhysicalMediumEx, extended);
        bool plainOk = false;
        if (!extendedOk || extended == 0) plainOk = QueryUlongOid(adapter.get(), kOidPhysicalMedium, plain);
        if (!ApplyPhysicalMedium(extendedOk, extended, plainOk, plain, candidate.wireless)) continue;
        candidate.address = PermanentAddress(adapter.get());
        if (!candidate.address.empty()) candidates.push_back(candidate);
    }
    return PickAdapterAddress(candidates);
}

std::string Mid2AdapterByIpHelper(const std::map<std::wstring, AdapterClassEntry>& entries) {
    std::set<std::wstring> physical;
    for (const auto& entry : entries)
        if (entry.second.physical) physical.insert(entry.first);
    if (physical.empty()) return std::string();

    using GetAdaptersInfoFn = ULONG(WINAPI*)(PIP_ADAPTER_INFO, PULONG);
    auto getAdaptersInfo = win::SystemFunction<GetAdaptersInfoFn>(L"iphlpapi.dll", "GetAdaptersInfo");
    if (getAdaptersInfo == nullptr) return std::string();
    ULONG size = 648;
    std::vector<uint64_t> buffer((size + 7) / 8);
    ULONG result = getAdaptersInfo(reinterpret_cast<PIP_ADAPTER_INFO>(buffer.data()), &size);
    if (result == ERROR_BUFFER_OVERFLOW && size > 0 && size < (16u << 20)) {
        buffer.assign((size + 7) / 8, 0);
        result = getAdaptersInfo(reinterpret_cast<PIP_ADAPTER_INFO>(buffer.data()), &size);
    }
    if (result != ERROR_SUCCESS) return std::string();

    std::vector<AdapterCandidate> candidates;
    for (auto* info = reinterpret_cast<PIP_ADAPTER_INFO>(buffer.data()); info != nullptr; info = info->Next) {
        if (info->AddressLength != 6) continue;
        std::string name(info->AdapterName, strnlen(info->AdapterName, sizeof info->AdapterName));
        std::wstring wideName(name.begin(), name.end());
        if (physical.count(LowerWide(wideName)) == 0) continue;
        AdapterCandidate candidate;
        std::string description(info->Description, strnlen(info->Description, sizeof info->Description));
        if (!ClassifyIpAdapter(info->Type, description, candidate.wireless)) continue;
        candidate.address = MacText(info->Address);
        candidates.push_back(candidate);
    }
    return PickAdapterAddress(candidates);
}

// ---- The real probe --------------------------------------------------------

class CRealHardwareProbe final : public IHardwareProbe {
public:
    std::string MidProcessorText() override {
        static ProcessorTextOnce once(&ComputeMidProcessorText);
        return once.Get();
    }

    std::string MidDiskSerial() override {
        std::string (*const methods[])() = {&MidSerialBySmart, &MidSerialByScsiMiniport,
                                            &MidSerialByStorageProperty, &MidSerialBySmartShared};
        for (auto method : methods) {
            std::string serial = TrimTrailingBlanks(method());
            if (!serial.empty()) return serial;
        }
        return std::string();
    }

    std::string MidMacAddress() override {
        std::string address = MidMacByNdis();
        return address.empty() ? MidMacByNetbios() : address;
    }

    std::string Mid2ProcessorText() override {
        static ProcessorTextOnce once(&ComputeMid2ProcessorText);
        return once.Get();
    }

    std::string Mid2AdapterText() override {
        std::map<std::wstring, AdapterClassEntry> entries;
        bool classKnown = LoadAdapterClass(entries);
        std::string address = Mid2AdapterByNdis(entries, classKnown);
        return address.empty() ? Mid2AdapterByIpHelper(entries) : address;
    }

    std::string Mid2DiskText() override {
        for (int drive = 0; drive < kMaxDrives; ++drive) {
            std::string disk = Mid2DiskFromDrive(drive);
            if (!disk.empty()) return disk;
        }
        return std::string();
    }

    bool IsElevated() override { return ProcessIsElevated(); }

    bool NewGuid(GUID& guid) override { return SUCCEEDED(::CoCreateGuid(&guid)); }

    void Pause(DWORD milliseconds) override { ::Sleep(milliseconds); }
};

}  // namespace

IHardwareProbe& RealHardwareProbe() {
    static CRealHardwareProbe probe;
    return probe;
}

}  // namespace machine_id
