// The part of the 7-Zip library's published COM-style interface that the
// program calls or implements: the archive reader, the streams and callbacks
// it is handed, their identifiers, and the factory export. Method order and
// calling convention must match the library exactly.
#pragma once

#include <windows.h>
#include <objbase.h>
#include <propidl.h>

#include <cstdint>

namespace sevenzip {

using UInt32 = std::uint32_t;
using Int32 = std::int32_t;
using UInt64 = std::uint64_t;
using Int64 = std::int64_t;

// Interface ids follow {23170F69-40C1-278A-0000-00GG00SS0000}.
constexpr GUID MakeInterfaceId(unsigned char group, unsigned char sub) {
    return GUID{0x23170F69, 0x40C1, 0x278A, {0x00, 0x00, 0x00, group, 0x00, sub, 0x00, 0x00}};
}

constexpr GUID kIidProgress = MakeInterfaceId(0x00, 0x05);
constexpr GUID kIidSequentialInStream = MakeInterfaceId(0x03, 0x01);
constexpr GUID kIidSequentialOutStream = MakeInterfaceId(0x03, 0x02);
constexpr GUID kIidInStream = MakeInterfaceId(0x03, 0x03);
constexpr GUID kIidOutStream = MakeInterfaceId(0x03, 0x04);
constexpr GUID kIidStreamGetSize = MakeInterfaceId(0x03, 0x06);
constexpr GUID kIidCryptoGetTextPassword = MakeInterfaceId(0x05, 0x10);
constexpr GUID kIidArchiveOpenCallback = MakeInterfaceId(0x06, 0x10);
constexpr GUID kIidArchiveExtractCallback = MakeInterfaceId(0x06, 0x20);
constexpr GUID kIidInArchive = MakeInterfaceId(0x06, 0x60);

// The 7z format handler.
constexpr GUID kClsid7zFormat = {0x23170F69, 0x40C1, 0x278A, {0x10, 0x00, 0x00, 0x01, 0x10, 0x07, 0x00, 0x00}};

// Item properties read by the extraction.
enum PropertyId : PROPID {
    kpidPath = 3,
    kpidIsDir = 6,
    kpidSize = 7,
    kpidAttrib = 9,
    kpidMTime = 12,
};

enum AskMode : Int32 { kExtract = 0, kTest = 1, kSkip = 2 };
enum OperationResult : Int32 { kOk = 0 };

// Seek origins of the streams (as for SetFilePointerEx).
enum SeekOrigin : UInt32 { kSeekSet = 0, kSeekCur = 1, kSeekEnd = 2 };

constexpr UInt32 kAllItems = 0xFFFFFFFF;

struct ISequentialInStream : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE Read(void* data, UInt32 size, UInt32* processedSize) = 0;
};

struct IInStream : public ISequentialInStream {
    virtual HRESULT STDMETHODCALLTYPE Seek(Int64 offset, UInt32 seekOrigin, UInt64* newPosition) = 0;
};

struct IStreamGetSize : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE GetSize(UInt64* size) = 0;
};

struct ISequentialOutStream : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE Write(const void* data, UInt32 size, UInt32* processedSize) = 0;
};

struct IOutStream : public ISequentialOutStream {
    virtual HRESULT STDMETHODCALLTYPE Seek(Int64 offset, UInt32 seekOrigin, UInt64* newPosition) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetSize(UInt64 newSize) = 0;
};

struct IProgress : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE SetTotal(UInt64 total) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetCompleted(const UInt64* completeValue) = 0;
};

struct ICryptoGetTextPassword : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE CryptoGetTextPassword(BSTR* password) = 0;
};

struct IArchiveOpenCallback : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE SetTotal(const UInt64* files, const UInt64* bytes) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetCompleted(const UInt64* files, const UInt64* bytes) = 0;
};

struct IArchiveExtractCallback : public IProgress {
    virtual HRESULT STDMETHODCALLTYPE GetStream(UInt32 index, ISequentialOutStream** outStream,
                                                Int32 askExtractMode) = 0;
    virtual HRESULT STDMETHODCALLTYPE PrepareOperation(Int32 askExtractMode) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetOperationResult(Int32 opRes) = 0;
};

struct IInArchive : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE Open(IInStream* stream, const UInt64* maxCheckStartPosition,
                                           IArchiveOpenCallback* openCallback) = 0;
    virtual HRESULT STDMETHODCALLTYPE Close() = 0;
    virtual HRESULT STDMETHODCALLTYPE GetNumberOfItems(UInt32* numItems) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetProperty(UInt32 index, PROPID propID, PROPVARIANT* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE Extract(const UInt32* indices, UInt32 numItems, Int32 testMode,
                                              IArchiveExtractCallback* extractCallback) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetArchiveProperty(PROPID propID, PROPVARIANT* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetNumberOfProperties(UInt32* numProps) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetPropertyInfo(UInt32 index, BSTR* name, PROPID* propID,
                                                      VARTYPE* varType) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetNumberOfArchiveProperties(UInt32* numProps) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetArchivePropertyInfo(UInt32 index, BSTR* name, PROPID* propID,
                                                             VARTYPE* varType) = 0;
};

// The library's factory export "CreateObject".
using CreateObjectFn = HRESULT(WINAPI*)(const GUID* classId, const GUID* interfaceId, void** object);

}  // namespace sevenzip
