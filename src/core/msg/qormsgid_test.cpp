#include "core/msg/qormsgid.h"

#include <string>
#include <gtest/gtest.h>

namespace {

std::string facility(uint32_t id)
{
    const char* technology = "untouched";
    char component[4] = "---";
    if (dx_msg_id_facility(id, &technology, component) != 0)
        return std::string("none ") + technology + " " + component;
    return std::string(technology) + "/" + component;
}

std::string catalogue(uint32_t id)
{
    char name[DX_MSG_CATALOGUE_NAME_LEN];
    if (dx_msg_catalogue_name(id, name, sizeof(name)) != 0)
        return "none";
    return std::string(name) + "#" + std::to_string(dx_msg_catalogue_number(id));
}

} // namespace

TEST(QORMsgId, FacilityIsTechnologyAndThreeBase40Characters)
{
    EXPECT_EQ(facility(0x30000000), "dx/aaa");
    EXPECT_EQ(facility(0x3f9ff000), "dx/@@@");   // 63999, the last code
    EXPECT_EQ(facility(0x3fa00000), "none untouched ---");
    EXPECT_EQ(facility(0x75f02001), "none untouched ---");
    EXPECT_EQ(facility(0x45f02001), "none untouched ---");
}

TEST(QORMsgId, CatalogueNamesAndNumbers)
{
    // A zero low part is number 4096.
    EXPECT_EQ(catalogue(0x35f02000), "dxpic.cat#4096");
    // Technologies 4 and 5: the id above its low 14 bits names the file.
    EXPECT_EQ(catalogue(0x45f06abc), "dce0117c1.cat#10940");
    EXPECT_EQ(catalogue(0x5fffc000), "dce017fff.cat#16384");
    EXPECT_EQ(catalogue(0x75f02001), "none");
    EXPECT_EQ(catalogue(0x3fa00001), "none");
    char shortName[DX_MSG_CATALOGUE_NAME_LEN - 1];
    EXPECT_EQ(dx_msg_catalogue_name(0x35f0200c, shortName, sizeof(shortName)), -1);
    EXPECT_EQ(dx_msg_catalogue_name(0x35f0200c, nullptr, 64), -1);
}
