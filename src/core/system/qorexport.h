// qorexport.h: what libdxqor.so offers the programs that load it. The
// library is compiled with hidden visibility; a header whose declarations
// belong to the adapter's interface (the core, the transaction classes, the
// log sink, the configuration manager and stanza files an adapter reads, and
// the strings, buffers, allocators and HTTP names their inline code and
// signatures use) wraps them, after its includes, in QOR_EXPORT_BEGIN and
// QOR_EXPORT_END. Everything else keeps external linkage inside the library
// and in the static library (dxqor_static) that tests, benchmarks and the
// authorization server link.
#pragma once

#define QOR_EXPORT_BEGIN _Pragma("GCC visibility push(default)")
#define QOR_EXPORT_END _Pragma("GCC visibility pop")
