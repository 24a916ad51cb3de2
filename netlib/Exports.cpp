// The library's exports, named in DarIR.def: the HTTP manager and zlib's
// one-shot buffer functions for the program's own use.
#include <zlib.h>

#include "net/HttpInterfaces.h"
#include "netlib/HttpManager.h"

extern "C" {

IHttpManager* __cdecl HttpInit() { return netlib::HttpManager::Create(); }

void __cdecl HttpUninit(IHttpManager* manager) {
    if (manager) netlib::HttpManager::Uninit(manager);
}

int __cdecl zlib_compress(unsigned char* dest, unsigned long* destLen, const unsigned char* source,
                          unsigned long sourceLen) {
    if (!dest || !destLen || (!source && sourceLen)) return Z_STREAM_ERROR;
    return compress(dest, destLen, source, sourceLen);
}

int __cdecl zlib_uncompress(unsigned char* dest, unsigned long* destLen, const unsigned char* source,
                            unsigned long sourceLen) {
    if (!dest || !destLen || !source) return Z_STREAM_ERROR;
    return uncompress(dest, destLen, source, sourceLen);
}

unsigned long __cdecl zlib_compressBound(unsigned long sourceLen) { return compressBound(sourceLen); }

}  // extern "C"

// The exported types must match what the program looks up.
static_assert(sizeof(uLong) == sizeof(unsigned long), "zlib's uLong is the exported unsigned long");
static constexpr HttpInitFn kCheckInit = &HttpInit;
static constexpr HttpUninitFn kCheckUninit = &HttpUninit;
static constexpr ZlibCompressFn kCheckCompress = &zlib_compress;
static constexpr ZlibUncompressFn kCheckUncompress = &zlib_uncompress;
static constexpr ZlibCompressBoundFn kCheckBound = &zlib_compressBound;
