// qormsgid.cpp: decoding message ids into facility and catalogue.
#include "core/msg/qormsgid.h"

#include <cstdio>
#include <cstring>

namespace {

const char kBase40[] = "abcdefghijklmnopqrstuvwxyz0123456789_-+@";
const unsigned kComponentLimit = 40 * 40 * 40;

const char* const kTechnologies[16] = {
    nullptr, "dce", nullptr, "dx",
};

bool isDceFamily(unsigned technology)
{
    return technology == 4 || technology == 5;
}

} // namespace

extern "C" int dx_msg_id_facility(uint32_t id, const char** technology,
                                  char* component)
{
    const char* name = kTechnologies[id >> 28];
    unsigned code = (id >> 12) & 0xffff;
    if (name == nullptr || code >= kComponentLimit)
        return -1;
    if (technology != nullptr)
        *technology = name;
    if (component != nullptr) {
        component[0] = kBase40[code / 1600];
        component[1] = kBase40[code / 40 % 40];
        component[2] = kBase40[code % 40];
        component[3] = '\0';
    }
    return 0;
}

extern "C" int dx_msg_catalogue_name(uint32_t id, char* name, size_t size)
{
    if (name == nullptr || size < DX_MSG_CATALOGUE_NAME_LEN)
        return -1;
    if (isDceFamily(id >> 28)) {
        snprintf(name, size, "dce%6.6lx.cat", (unsigned long)(id >> 14));
        return 0;
    }
    const char* technology;
    char component[4];
    if (dx_msg_id_facility(id, &technology, component) != 0)
        return -1;
    snprintf(name, size, "%s%s.cat", technology, component);
    return 0;
}

extern "C" int dx_msg_catalogue_number(uint32_t id)
{
    uint32_t mask = isDceFamily(id >> 28) ? 0x3fff : 0xfff;
    uint32_t number = id & mask;
    return static_cast<int>(number != 0 ? number : mask + 1);
}
