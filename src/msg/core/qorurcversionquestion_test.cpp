#include "msg/core/qorurcversionquestion.h"

#include <gtest/gtest.h>

#include <vector>

#include "qortestregion.h"

const uint32_t kNone = QORTestRegion::kNoNext;

TEST(URCVersionQuestion, LayoutAndRoundTrip)
{
    QOREpochVersion v;
    for (int i = 0; i < 16; i++)
        v.m_identifier[i] = static_cast<uint8_t>(0xa0 + i);
    v.m_counter = 7;
    QORURCVersionQuestion q;
    QOREpochVersion out = {};
    EXPECT_EQ(q.getVersion(out), qor_s_not_available);
    q.setVersion(&v);
    QORTestRegion region;
    ASSERT_EQ(q.marshal(region.alloc), qor_s_ok);
    std::vector<uint32_t> expected = {24, kNone, 20, 0xa3a2a1a0, 0xa7a6a5a4, 0xabaaa9a8,
                                      0xafaeadac, 7};
    EXPECT_EQ(region.written(), expected);
    QORURCVersionQuestion r;
    ASSERT_EQ(r.unmarshal(region.reader(), nullptr), qor_s_ok);
    ASSERT_EQ(r.getVersion(out), qor_s_ok);
    EXPECT_TRUE(out == v);
    for (std::vector<uint32_t> bad : {std::vector<uint32_t>{20, kNone, 16, 1, 2, 3, 4},
                                      std::vector<uint32_t>{28, kNone, 24, 1, 2, 3, 4, 5, 6},
                                      std::vector<uint32_t>{}}) {
        region.put(bad);
        QORURCVersionQuestion b;
        EXPECT_EQ(b.unmarshal(region.reader(), nullptr), qor_s_msg_unmarshal_failed);
        EXPECT_EQ(b.getVersion(out), qor_s_not_available);
    }
}
