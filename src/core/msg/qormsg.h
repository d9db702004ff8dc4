// qormsg.h: message texts by id. A text comes from an XPG4 message catalogue
// in the user's locale when one has it, else from the built-in tables that
// the library registers at start-up. Every numbered message the library
// reports, and the names of trace components and memory types, are here.
#pragma once
#include <cstdint>
#include "core/system/qorstatus.h"

typedef struct {
    uint32_t id;
    const char* text;
} dx_msg_table_t;

// Size of the caller's buffer for dx_error_inq_text.
#define DX_C_ERROR_STRING_LEN 512
typedef char dx_error_string_t[DX_C_ERROR_STRING_LEN];

extern "C" {

// Adds count rows to the built-in texts (the rows are not copied: they must
// outlive the process's use of them).
void dx_msg_define_msg_table(const dx_msg_table_t* table, int count,
                             QORStatus* status);

// The text for id, as a new string the caller frees with free(): in the
// local code page, or in UTF-8. An id with no text anywhere gives
// "Unknown message number 0x%8.8lx" and a non-zero status.
char* dx_msg_get_msg(uint32_t id, QORStatus* status);
char* dx_msg_get_msg_utf8(uint32_t id, QORStatus* status);

// "%s (%s / %s)": the text, the technology and the component the id
// encodes. *st is 0 on success, -1 otherwise.
void dx_error_inq_text(uint32_t status, dx_error_string_t buffer, int* st);
void dx_error_inq_text_utf8(uint32_t status, dx_error_string_t buffer, int* st);

// Closes open catalogues and forgets registered tables.
void dx_msg_shutdown(void);

// The library's own tables, generated at build time from the message source
// (the same source gencat builds the catalogues from).
extern const dx_msg_table_t qor_pic_msg_table[];
extern const int qor_pic_msg_count;
extern const dx_msg_table_t qor_pco_msg_table[];
extern const int qor_pco_msg_count;
}
