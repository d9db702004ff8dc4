// qorcertdecoder.h: decoding of a client certificate (DER bytes from the web
// server) into the three texts the web request question carries for it:
// serial number, issuer and subject. Used by web-server adapters.
#pragma once
#include <cstddef>
#include "core/system/qorexport.h"

QOR_EXPORT_BEGIN
// Where the decoded texts come from; the caller frees them through the same
// record. realloc is told the old size so that a pool can move blocks.
struct qor_cert_memory_functions {
    void* context;
    void* (*alloc)(void* context, size_t size);
    void (*free)(void* context, void* p);
    void* (*realloc)(void* context, void* p, size_t oldSize, size_t newSize);
};

// The texts, zero-terminated.
//   serialNumber: each content byte of the serial as two upper-case hex
//                 digits, separated by "." ("01.0A.FF").
//   issuer, subject: the attributes of the name as NAME=value, the relative
//                 distinguished names from the last encoded to the first,
//                 all separated by "," ("CN=Host,O=Example,C=US"). Names are
//                 CN, C, L, ST, O, OU and E; BMPString values are converted
//                 to UTF-8, other values copied as they are encoded.
struct qor_decoded_certificate {
    char* serialNumber;
    char* issuer;
    char* subject;
};

extern "C" {

// The record used for a null one: malloc, free and realloc.
const qor_cert_memory_functions* qor_cert_default_memory_functions(void);

// Decodes length bytes of der into *out, allocating through mem (null: the
// default record). Returns 1 when all three texts were made; 0 otherwise,
// with every field of *out null and nothing left allocated. A name
// attribute of another type or a UniversalString value fails the decode.
int qor_decode_certificate(const unsigned char* der, int length,
                           const qor_cert_memory_functions* mem,
                           qor_decoded_certificate* out);

// The same, returning why it failed as a BER error code (ber_ok on
// success): ber_out_of_range for an attribute type outside the table,
// ber_unexpected_type for a UniversalString or a misplaced item,
// ber_missing_element for a to-be-signed part too short to hold the names,
// ber_no_memory when an allocation failed.
int qor_decode_certificate_code(const unsigned char* der, int length,
                                const qor_cert_memory_functions* mem,
                                qor_decoded_certificate* out);

// The same for the PEM text web servers hand out: length bytes holding one
// "-----BEGIN CERTIFICATE-----" ... "-----END CERTIFICATE-----" block,
// whose Base64 may be broken by blanks and line ends. Text around the
// block is ignored; a block that is cut short or not Base64 fails.
int qor_decode_pem_certificate(const char* pem, size_t length,
                               const qor_cert_memory_functions* mem,
                               qor_decoded_certificate* out);

// Frees the texts of cert through mem (null: the default record) and sets
// them to null.
void qor_free_decoded_certificate(qor_decoded_certificate* cert,
                                  const qor_cert_memory_functions* mem);
}

QOR_EXPORT_END
