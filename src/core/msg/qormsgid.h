// qormsgid.h: what a message id says about itself: its technology, its
// component, and the catalogue file and message number that keep its text.
// The message lookup and dx_error_inq_text read ids through it; the build's
// catalogue generator (cmake/msggen.cmake) follows the same rules.
//
// Layout: technology in the top 4 bits, component in the next 16 as three
// characters in base 40 over "abcdefghijklmnopqrstuvwxyz0123456789_-+@"
// (first character most significant: "pic" = 0x5f02, "pco" = 0x5e1e), the
// message number in the low 12 bits. Technologies with names: 1 "dce" (the
// serviceability layer's statuses, 0x10652...), 3 "dx" (the product's and
// the configuration tools' messages).
//
// Catalogues: ids of technology 4 or 5 are kept in "dce%6.6lx.cat", named
// from the id shifted right by 14 bits and numbered by the low 14 bits;
// other ids in the technology's name, the component and ".cat" ("dxpic.cat"
// for 0x35f02...), numbered by the low 12 bits. Every text is in set 1. A
// number 0 is kept as one past the field's largest value (4096, or 16384
// for technologies 4 and 5), because catalogue numbers start at 1.
#pragma once
#include <cstddef>
#include <cstdint>

// Room for any catalogue file name, terminator included.
#define DX_MSG_CATALOGUE_NAME_LEN 16

enum : int { dx_msg_c_catalogue_set = 1 };

extern "C" {

// The technology's name and the component's three characters (component
// must have room for 4 bytes). Returns 0, or -1 when the technology has no
// name or the component bits exceed three characters (40^3 values); the
// outputs are then untouched.
int dx_msg_id_facility(uint32_t id, const char** technology, char* component);

// The catalogue file name for id into name (size bytes, at least
// DX_MSG_CATALOGUE_NAME_LEN). Returns 0, or -1 when the id has no catalogue
// (its facility is unknown outside technologies 4 and 5) or size is short.
int dx_msg_catalogue_name(uint32_t id, char* name, size_t size);

// The id's message number within its catalogue (1 and up).
int dx_msg_catalogue_number(uint32_t id);
}
