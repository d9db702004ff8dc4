#include "msg/core/qorproxyifmsgdata.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "core/memory/qorcountingallocator.h"
#include "qortestregion.h"

namespace {

// Marshals an item into a buffer of exactly its size, filled with 0xAA first
// so that unwritten bytes show.
std::vector<unsigned char> encode(const QORProxyIFMsgData& item)
{
    int size = item.marshal(nullptr, 0);
    std::vector<unsigned char> out(static_cast<size_t>(size), 0xAA);
    EXPECT_EQ(item.marshal(out.data(), size), size);
    return out;
}

std::vector<unsigned char> u32(uint32_t v)
{
    std::vector<unsigned char> b(4);
    memcpy(b.data(), &v, 4);
    return b;
}

std::vector<unsigned char> operator+(std::vector<unsigned char> a,
                                     const std::vector<unsigned char>& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

std::vector<unsigned char> bytes(const char* s, size_t n)
{
    return std::vector<unsigned char>(s, s + n);
}

std::string render(QORProxyIFMsgData& item)
{
    QORString out;
    out.append("stale", -1);
    EXPECT_EQ(item.createString(&out), qor_s_ok);
    return std::string(out.data(), static_cast<size_t>(out.length()));
}

// Every prefix shorter than the whole encoding must be refused, leaving the
// item as it was; then the whole encoding is read, and consumed exactly.
template <class Item, class Check>
void expectOnlyWholeEncodingReads(const std::vector<unsigned char>& wire,
                                  Item& item, Check unchanged)
{
    for (size_t cut = 0; cut < wire.size(); cut++) {
        // A copy of exactly cut bytes, so that ASan sees any read past it.
        std::vector<unsigned char> part(wire.begin(), wire.begin() + cut);
        EXPECT_EQ(item.unmarshal(part.data(), static_cast<int>(cut)), 0)
            << "prefix of " << cut << " bytes";
        unchanged();
    }
    EXPECT_EQ(item.unmarshal(wire.data(), static_cast<int>(wire.size())),
              static_cast<int>(wire.size()));
}

} // namespace

TEST(QORProxyIFMsgIntTest, ReadsFourNativeBytesAndRendersDecimal)
{
    QORProxyIFMsgInt i(-7);
    EXPECT_EQ(render(i), "-7");
    i.set(42);
    EXPECT_EQ(render(i), "42");
    QORProxyIFMsgInt back;
    std::vector<unsigned char> wire = u32(0x80000000u) + u32(1);
    EXPECT_EQ(back.unmarshal(wire.data(), 8), 4);
    EXPECT_EQ(back.get(), INT32_MIN);
    EXPECT_EQ(render(back), "-2147483648");
    EXPECT_EQ(back.unmarshal(wire.data(), 3), 0);
    EXPECT_EQ(back.get(), INT32_MIN);
}

TEST(QORProxyIFMsgBufferTest, EncodingSizesAndPadding)
{
    QORProxyIFMsgBuffer b;
    EXPECT_EQ(encode(b), u32(0));  // empty: the count alone
    const unsigned char five[] = {1, 2, 3, 4, 5};
    b.set(QORBuffer(five, 5));
    std::vector<unsigned char> wire = encode(b);
    EXPECT_EQ(wire, u32(5) + bytes("\1\2\3\4\5\0\0", 8));
    QORProxyIFMsgBuffer back;
    back.set(QORBuffer(five, 3));
    expectOnlyWholeEncodingReads(wire, back, [&] { EXPECT_EQ(back.get().getLen(), 3); });
    ASSERT_EQ(back.get().getLen(), 5);
    // A view of the bytes given, not a copy.
    EXPECT_EQ(back.get().getData(), wire.data() + 4);
    // Rendered URI-encoded.
    const unsigned char raw[] = {'a', ' ', 0, 0xff, '%'};
    b.set(QORBuffer(raw, 5));
    EXPECT_EQ(render(b), "a%20%00%FF%25");
    // Counts that run past the bytes or wrap, no bytes, a negative size.
    QORProxyIFMsgBuffer none;
    std::vector<unsigned char> huge = u32(0xFFFFFFFFu) + u32(0);
    EXPECT_EQ(none.unmarshal(huge.data(), 8), 0);
    std::vector<unsigned char> nearWrap = u32(0xFFFFFFFDu) + u32(0);
    EXPECT_EQ(none.unmarshal(nearWrap.data(), 8), 0);
    EXPECT_EQ(none.unmarshal(nullptr, 8), 0);
    EXPECT_EQ(none.unmarshal(wire.data(), -4), 0);
    EXPECT_EQ(none.get().getLen(), 0);
}

// The view's length is fixed by the count: changing the bytes afterwards
// (as another process may) cannot make it longer, and c_str() is a copy.
TEST(QORProxyIFMsgStringTest, TerminatedCountsGiveCountedViews)
{
    QORProxyIFMsgString s;
    s.set(QORStringRef("name"));
    std::vector<unsigned char> wire = encode(s);
    QORProxyIFMsgString back;
    EXPECT_EQ(back.unmarshal(wire.data(), static_cast<int>(wire.size())), 12);
    EXPECT_FALSE(back.get().isTerminated());
    EXPECT_EQ(back.get().data(), reinterpret_cast<const char*>(wire.data() + 4));
    const char* copy = back.get().c_str();
    EXPECT_NE(copy, back.get().data());
    std::fill(wire.begin() + 4, wire.end(), 'x');
    EXPECT_EQ(back.get().length(), 4);
    EXPECT_STREQ(copy, "name");
    // A count without a terminator keeps all its bytes.
    std::vector<unsigned char> raw = u32(3) + bytes("xyz!", 4);
    EXPECT_EQ(s.unmarshal(raw.data(), 8), 8);
    EXPECT_EQ(qor_test_str(s.get()), "xyz");
    EXPECT_FALSE(s.get().isTerminated());
    EXPECT_STREQ(s.get().c_str(), "xyz");
    std::vector<unsigned char> zero = u32(0);
    EXPECT_EQ(s.unmarshal(zero.data(), 4), 4);
    EXPECT_EQ(s.get().length(), 0);
    // A zero inside the counted characters keeps every byte before the
    // final terminator.
    std::vector<unsigned char> inner = u32(4) + bytes("a\0b", 4);
    EXPECT_EQ(s.unmarshal(inner.data(), 8), 8);
    EXPECT_EQ(s.get().length(), 3);
    EXPECT_EQ(qor_test_str(s.get()), std::string("a\0b", 3));
}

TEST(QORProxyIFMsgStringTest, MalformedCountsAreRefusedAndLeaveTheItem)
{
    QORProxyIFMsgString s;
    s.set(QORStringRef("keep"));
    std::vector<unsigned char> wire = u32(6) + bytes("abcdef\0", 8);
    std::vector<unsigned char> huge = u32(0xFFFFFFFFu) + bytes("abc", 4);
    EXPECT_EQ(s.unmarshal(huge.data(), 8), 0);
    expectOnlyWholeEncodingReads(wire, s, [&] { EXPECT_EQ(qor_test_str(s.get()), "keep"); });
    EXPECT_EQ(qor_test_str(s.get()), "abcdef");
}

TEST(QORProxyIFMsgStringListTest, SixEntriesRoundTripInOrder)
{
    QORCountingAllocator heap;
    const char* names[] = {"alpha", "b", "", "gamma delta", "e", "sixth"};
    QORProxyIFMsgStringList list(5, &heap);
    for (int i = 0; i < 5; i++)
        ASSERT_EQ(list.add(QORStringRef(names[i])), qor_s_ok);
    EXPECT_EQ(heap.allocations, 0);  // five fit inside the object
    ASSERT_EQ(list.add(QORStringRef(names[5])), qor_s_ok);
    EXPECT_EQ(heap.allocations, 1);
    EXPECT_EQ(list.capacity(), 15);
    std::vector<unsigned char> wire = encode(list);
    int expected = 4;
    for (const char* n : names)
        expected += 4 + static_cast<int>((strlen(n) + 1 + 3) / 4 * 4);
    EXPECT_EQ(static_cast<int>(wire.size()), expected);
    QORProxyIFMsgStringList back;
    EXPECT_EQ(back.unmarshal(wire.data(), static_cast<int>(wire.size())), expected);
    ASSERT_EQ(back.entries(), 6);
    for (int i = 0; i < 6; i++) {
        const QORStringRef* s = back.get();
        ASSERT_NE(s, nullptr);
        EXPECT_EQ(qor_test_str(*s), names[i]);
    }
    EXPECT_EQ(back.get(), nullptr);
    // The cursor restarts, at most at the end; rendering leaves it where it was.
    EXPECT_EQ(back.restart(2), 6u);
    EXPECT_EQ(back.restart(100), 2u);
    EXPECT_EQ(back.get(), nullptr);
    EXPECT_EQ(back.restart(1), 6u);
    EXPECT_EQ(render(back), "[alpha] [b] [] [gamma%20delta] [e] [sixth] ");
    EXPECT_EQ(qor_test_str(*back.get()), "b");
    QORProxyIFMsgStringList empty;
    EXPECT_EQ(encode(empty), u32(0));
    EXPECT_EQ(render(empty), "");
    EXPECT_EQ(empty.get(), nullptr);
    EXPECT_EQ(empty.restart(3), 0u);
}

// The first array holds the initial capacity and five more; each growth
// adds ten; a failed growth leaves the list; the array is given back.
TEST(QORProxyIFMsgStringListTest, GrowthAndRelease)
{
    QORCountingAllocator heap;
    {
        QORProxyIFMsgStringList sized(40, &heap);
        for (int i = 0; i < 40; i++)
            ASSERT_EQ(sized.add(QORStringRef("x")), qor_s_ok);
        EXPECT_EQ(heap.allocations, 1);
        EXPECT_EQ(sized.capacity(), 45);
    }
    EXPECT_EQ(heap.live(), 0);
    QORProxyIFMsgStringList list(5, &heap);
    std::vector<std::string> keep;
    for (int i = 0; i < 15; i++)
        keep.push_back("entry" + std::to_string(i));
    for (int i = 0; i < 15; i++)
        ASSERT_EQ(list.add(QORStringRef(keep[i].c_str())), qor_s_ok);
    EXPECT_EQ(list.capacity(), 15);
    heap.failAfter = 0;
    EXPECT_EQ(list.add(QORStringRef("sixteenth")), qor_s_no_memory);
    EXPECT_EQ(list.entries(), 15);
    EXPECT_EQ(list.capacity(), 15);
    for (int i = 0; i < 15; i++)
        EXPECT_EQ(qor_test_str(list.at(i)), keep[i]);
    heap.failAfter = -1;
    EXPECT_EQ(list.add(QORStringRef("sixteenth")), qor_s_ok);
    EXPECT_EQ(list.capacity(), 25);
    EXPECT_EQ(qor_test_str(list.at(15)), "sixteenth");
}

TEST(QORProxyIFMsgStringListTest, MalformedListsLeaveTheEntries)
{
    QORProxyIFMsgStringList list;
    ASSERT_EQ(list.add(QORStringRef("old")), qor_s_ok);
    QORProxyIFMsgStringList src;
    for (const char* n : {"one", "two", "three", "four", "five", "six", "seven"})
        ASSERT_EQ(src.add(QORStringRef(n)), qor_s_ok);
    std::vector<unsigned char> wire = encode(src);
    // A count that no region could hold is refused before any string is read.
    std::vector<unsigned char> huge = u32(0x40000000u) + u32(1) + bytes("\0\0\0", 4);
    EXPECT_EQ(list.unmarshal(huge.data(), 12), 0);
    EXPECT_EQ(list.entries(), 1);
    // A list whose array cannot be had fails as a whole.
    QORCountingAllocator heap;
    heap.failAfter = 0;
    QORProxyIFMsgStringList starved(5, &heap);
    EXPECT_EQ(starved.unmarshal(wire.data(), static_cast<int>(wire.size())), 0);
    EXPECT_EQ(starved.entries(), 0);
    expectOnlyWholeEncodingReads(wire, list, [&] {
        ASSERT_EQ(list.entries(), 1);
        EXPECT_EQ(qor_test_str(list.at(0)), "old");
    });
    EXPECT_EQ(list.entries(), 7);
    EXPECT_EQ(qor_test_str(list.at(6)), "seven");
}

TEST(QORProxyIFMsgNameValueTest, NameValueAndNameIntRoundTripsAndCuts)
{
    QORProxyIFMsgNameValue nv;
    nv.set(QORStringRef("Content-Type"), QORStringRef("text/html; a=b"));
    std::vector<unsigned char> wire = encode(nv);
    EXPECT_EQ(wire.size(), 20u + 20u);
    QORProxyIFMsgNameValue back;
    back.set(QORStringRef("keep"), QORStringRef("this"));
    expectOnlyWholeEncodingReads(wire, back, [&] {
        EXPECT_EQ(qor_test_str(back.getName()), "keep");
        EXPECT_EQ(qor_test_str(back.getValue()), "this");
    });
    EXPECT_EQ(qor_test_str(back.getName()), "Content-Type");
    EXPECT_EQ(qor_test_str(back.getValue()), "text/html; a=b");
    EXPECT_EQ(render(back), "Name: Content-Type - Value: text/html;%20a=b");
    QORProxyIFMsgNameInt ni;
    ni.set(QORStringRef("max-post"), -32768);
    std::vector<unsigned char> intWire = encode(ni);
    EXPECT_EQ(intWire, u32(9) + bytes("max-post\0\0\0", 12) + u32(static_cast<uint32_t>(-32768)));
    QORProxyIFMsgNameInt intBack;
    intBack.set(QORStringRef("keep"), 5);
    expectOnlyWholeEncodingReads(intWire, intBack, [&] {
        EXPECT_EQ(qor_test_str(intBack.getName()), "keep");
        EXPECT_EQ(intBack.getValue(), 5);
    });
    EXPECT_EQ(qor_test_str(intBack.getName()), "max-post");
    EXPECT_EQ(intBack.getValue(), -32768);
    EXPECT_EQ(render(intBack), "Name: max-post - Value: -32768");
}

TEST(QORProxyIFMsgDataTest, RenderingFailsWithoutMemory)
{
    QORCountingAllocator heap;
    heap.failAfter = 0;
    QORString out(&heap);
    std::string big(300, 'q');  // beyond the string's inline room
    QORProxyIFMsgString s;
    s.set(QORStringRef(big.c_str()));
    EXPECT_EQ(s.createString(&out), qor_s_no_memory);
    QORProxyIFMsgNameValue nv;
    nv.set(QORStringRef("n"), QORStringRef(big.c_str()));
    EXPECT_EQ(nv.createString(&out), qor_s_no_memory);
}

TEST(QORProxyIFMsgDataDeathTest, MarshalIntoTooSmallABufferStops)
{
    QORProxyIFMsgString s;
    s.set(QORStringRef("abcd"));
    unsigned char small[8];
    EXPECT_DEATH(s.marshal(small, 8), "Assertion failed");
}
