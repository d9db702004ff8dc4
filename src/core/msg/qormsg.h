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
// outlive the process's use of them). A row replaces the text of an id that
// an earlier table gave. qor_s_invalid_argument for a null table with a
// positive count or a negative count, qor_s_no_memory when memory runs out.
void dx_msg_define_msg_table(const dx_msg_table_t* table, int count,
                             QORStatus* status);

// The text for id, as a new string the caller frees with free(): in the
// local code page (characters it lacks become '?'), or in UTF-8. The text
// comes from the id's catalogue (core/msg/qormsgid.h) opened through NLSPATH
// in the LC_MESSAGES locale, unless SVC_NOXPGCAT is set; else from the
// registered and the library's own tables. An id with no text anywhere gives
// "Unknown message number 0x%8.8lx" and qor_s_not_available; null only when
// memory runs out (qor_s_no_memory). With DXSVC_DEBUG_MSG set, opening a
// catalogue writes NLSPATH, LOXDIR and catopen's status to standard error.
// Each catalogue is opened once; safe from any thread.
char* dx_msg_get_msg(uint32_t id, QORStatus* status);
char* dx_msg_get_msg_utf8(uint32_t id, QORStatus* status);

// "%s (%s / %s)": the text, the technology and the component the id
// encodes, truncated to the buffer; technology "dce" shows as "dx". Status
// 0 stands for 0x10652209. An id without text gives "status 0x%8.8lx
// (%s / %s)", or "status 0x%8.8lx (unknown facility)" when its technology
// has no name or its component bits are no three characters; a text whose
// facility is unknown is followed by " (unknown facility)". *st is 0 when a
// text was found, -1 otherwise.
void dx_error_inq_text(uint32_t status, dx_error_string_t buffer, int* st);
void dx_error_inq_text_utf8(uint32_t status, dx_error_string_t buffer, int* st);

// Closes open catalogues and forgets registered tables.
void dx_msg_shutdown(void);

// Closes open catalogues and reads SVC_NOXPGCAT and DXSVC_DEBUG_MSG again on
// the next lookup; registered tables stay. For tests and for a process that
// changed NLSPATH or its locale after the first lookup.
void dx_msg_reset_catalogues(void);

// The NLSPATH value under which the message directory's catalogues are found
// (installation directory qor_path_nls_msg, written as <dir>):
// "<dir>/%L/%N:<dir>/%L/%N.cat", then ':' and previous when previous is
// neither null nor empty. *value is a new string the caller frees with free().
QORStatus dx_msg_nlspath_value(const char* previous, char** value);

// Sets NLSPATH to dx_msg_nlspath_value(current NLSPATH) unless the current
// value already names the message directory. Not safe while other threads
// read the environment: for process start-up.
QORStatus dx_msg_setup_nlspath(void);

// The library's own tables, generated at build time from the message source
// (the same source gencat builds the catalogues from), each sorted by id:
// the product's messages (0x35f02...), the configuration tools' (0x35e1e...)
// and the serviceability layer's own statuses (0x10652...). Lookups always
// know them; registering them with dx_msg_define_msg_table changes nothing.
extern const dx_msg_table_t qor_pic_msg_table[];
extern const int qor_pic_msg_count;
extern const dx_msg_table_t qor_pco_msg_table[];
extern const int qor_pco_msg_count;
extern const dx_msg_table_t qor_svc_msg_table[];
extern const int qor_svc_msg_count;
}
