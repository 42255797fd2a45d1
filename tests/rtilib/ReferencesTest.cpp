// References, best-effort addresses, federate vectors, the two lists and
// attribute handle sets: exact bytes, round trips, refusals, printed forms.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "AllocationProbe.h"
#include "References.h"
#include "TestBytes.h"

using RTIP::BestEffortAddress;
using RTIP::DecodeCursor;
using RTIP::EncodeBuffer;
using RTIP::FederateEntry;
using RTIP::FederateList;
using RTIP::FederateVector;
using RTIP::FederationExecutionEntry;
using RTIP::FederationExecutionList;
using RTIP::MalformedMessage;
using RTIP::Reference;
using testbytes::bytes;
using testbytes::encodeValue;
using testbytes::Exact;
using testbytes::hex;
using testbytes::printed;

namespace {

// Every proper prefix of an encoding must be refused by `decode`.
template <class T>
void expectEveryTruncationRefused(const std::vector<char>& full) {
    for (size_t len = 0; len < full.size(); ++len) {
        Exact e(full.data(), len);
        EXPECT_THROW(T::decode(e.data(), e.size()), MalformedMessage) << "prefix " << len;
    }
}

template <class T>
T decodeExact(const std::vector<char>& v) {
    Exact e(v);
    return T::decode(e.data(), e.size());
}

}  // namespace

// ---- Reference --------------------------------------------------------------

TEST(Reference, EmptyIsTwelveBytes) {
    const Reference r;
    EXPECT_EQ(0, r.port());
    EXPECT_STREQ("", r.host());
    EXPECT_EQ(12u, r.encodedLength());
    EXPECT_EQ("00 00 00 00 00 00 00 01 00 00 00 00", hex(encodeValue(r)));
}

TEST(Reference, ExactBytes) {
    const Reference r(40123, "vm");
    EXPECT_EQ("00 00 9c bb 00 00 00 03 76 6d 00 00", hex(encodeValue(r)));
    const Reference r2(1, "host");
    EXPECT_EQ("00 00 00 01 00 00 00 05 68 6f 73 74 00 00 00 00", hex(encodeValue(r2)));
    EncodeBuffer buf;
    r2.encode(buf);
    EXPECT_EQ(hex(encodeValue(r2)), hex(buf.bytes()));
}

TEST(Reference, RoundTrip) {
    for (const Reference& r : {Reference(), Reference(65535, "a"), Reference(40123, "example.org"),
                               Reference(7, std::string(49, 'h').c_str())}) {
        const Reference d = decodeExact<Reference>(encodeValue(r));
        EXPECT_TRUE(d == r) << r;
        EXPECT_EQ(r.port(), d.port());
        EXPECT_STREQ(r.host(), d.host());
    }
}

TEST(Reference, SetTruncatesHostTo49) {
    Reference r(5, std::string(80, 'z').c_str());
    EXPECT_EQ(std::string(49, 'z'), r.host());
    r.set(6, "short");
    EXPECT_STREQ("short", r.host());
    EXPECT_EQ(6, r.port());
    r.set(0, nullptr);
    EXPECT_STREQ("", r.host());
}

TEST(Reference, DecoderRefusesLongHost) {
    EncodeBuffer buf;
    buf.putUShort(1);
    buf.putString(std::string(50, 'h'));
    EXPECT_THROW(decodeExact<Reference>(buf.bytes()), MalformedMessage);
}

TEST(Reference, DecoderRefusesTruncation) {
    expectEveryTruncationRefused<Reference>(encodeValue(Reference(9, "abcdef")));
}

TEST(Reference, CursorAdvancesPastIt) {
    EncodeBuffer buf;
    Reference(1, "abcd").encode(buf);
    buf.putULong(77);
    Exact e(buf.bytes());
    DecodeCursor in(e.data(), e.size());
    EXPECT_EQ(Reference(1, "abcd"), Reference::decode(in));
    EXPECT_EQ(77u, in.getULong());
}

TEST(Reference, PrintedForm) {
    const Reference r(40123, "vm");
    EXPECT_EQ("vm:40123", printed(&r));
    EXPECT_EQ("vm:40123", printed(r));
    const Reference empty;
    EXPECT_EQ(":0", printed(&empty));
    const Reference* none = nullptr;
    EXPECT_EQ("(null)", printed(none));
}

TEST(Reference, ConvertsToInetAddr) {
    const Reference r(4321, "127.0.0.1");
    const ACE_INET_Addr a = r;
    EXPECT_EQ(4321, a.get_port_number());
    EXPECT_EQ(0x7f000001u, a.get_ip_address());
}

// ---- BestEffortAddress ------------------------------------------------------

TEST(BestEffortAddress, ExactBytesAndPrintedForm) {
    const BestEffortAddress a(236, 236, 0, 1);
    char b[4];
    EXPECT_EQ(4u, a.encode(b));
    EXPECT_EQ(4u, BestEffortAddress::encodedLength());
    EXPECT_EQ("ec ec 00 01", hex(b, 4));
    EXPECT_EQ("236.236.0.1", printed(a));
    EXPECT_EQ("0.0.0.0", printed(BestEffortAddress()));
    EXPECT_EQ("255.1.2.3", printed(BestEffortAddress(255, 1, 2, 3)));
}

TEST(BestEffortAddress, RoundTripAndTruncation) {
    const BestEffortAddress a(236, 236, 0, 20);
    std::vector<char> v(4);
    a.encode(v.data());
    EXPECT_TRUE(decodeExact<BestEffortAddress>(v) == a);
    expectEveryTruncationRefused<BestEffortAddress>(v);
}

// ---- FederateVector ---------------------------------------------------------

TEST(FederateVector, ExactBytes) {
    FederateVector v;
    EXPECT_EQ(28u, FederateVector::encodedLength());
    EXPECT_EQ("00 00 00 15 " + hex(std::vector<char>(24, 0)), hex(encodeValue(v)));
    v.set(1, true);
    v.set(20, true);
    EXPECT_EQ("00 00 00 15 00 01 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 01 00 00 00",
              hex(encodeValue(v)));
}

TEST(FederateVector, SetGetAny) {
    FederateVector v;
    EXPECT_FALSE(v.any());
    for (uint16_t h = 0; h < 25; ++h) EXPECT_FALSE(v.get(h));
    v.set(0, true);
    EXPECT_FALSE(v.any());  // flag 0 does not count
    v.set(0, false);
    v.set(21, true);  // ignored
    EXPECT_FALSE(v.get(21));
    EXPECT_FALSE(v.any());
    v.set(7, true);
    EXPECT_TRUE(v.get(7));
    EXPECT_TRUE(v.any());
    v.set(7, false);
    EXPECT_FALSE(v.any());
}

TEST(FederateVector, RoundTrip) {
    FederateVector v;
    for (uint16_t h = 1; h <= 20; h += 3) v.set(h, true);
    const FederateVector d = decodeExact<FederateVector>(encodeValue(v));
    for (uint16_t h = 0; h < FederateVector::kCount; ++h) EXPECT_EQ(v.get(h), d.get(h)) << h;
}

TEST(FederateVector, DecoderRefusesBadInput) {
    auto good = encodeValue(FederateVector());
    auto badCount = good;
    badCount[3] = 20;
    EXPECT_THROW(decodeExact<FederateVector>(badCount), MalformedMessage);
    badCount[3] = 22;
    EXPECT_THROW(decodeExact<FederateVector>(badCount), MalformedMessage);
    auto badFlag = good;
    badFlag[4 + 5] = 2;
    EXPECT_THROW(decodeExact<FederateVector>(badFlag), MalformedMessage);
    auto padding = good;
    padding[27] = 9;  // padding is not checked
    EXPECT_NO_THROW(decodeExact<FederateVector>(padding));
    expectEveryTruncationRefused<FederateVector>(good);
}

// ---- Lists ------------------------------------------------------------------

TEST(NamedReference, TruncatesNameTo63) {
    const FederateEntry e(std::string(100, 'n').c_str(), Reference(1, "h"));
    EXPECT_EQ(std::string(63, 'n'), e.name);
    const FederateEntry empty;
    EXPECT_STREQ("", empty.name);
    EXPECT_EQ(Reference(), empty.ref);
    EXPECT_EQ(20u, empty.encodedLength());
}

TEST(FederateList, ExactBytes) {
    FederateList empty(20);
    EXPECT_EQ(4u, empty.encodedLength());
    EXPECT_EQ("00 00 00 00", hex(encodeValue(empty)));

    FederateList one(1);
    one.add(FederateEntry("fed", Reference(7, "h")));
    EXPECT_EQ(
        "00 00 00 01 "
        "00 00 00 04 66 65 64 00 "
        "00 00 00 07 00 00 00 02 68 00 00 00",
        hex(encodeValue(one)));
    EXPECT_EQ(24u, one.encodedLength());
}

TEST(FederateList, CountsOnlyEntriesAdded) {
    FederateList list(5);
    list.add(FederateEntry("a", Reference(1, "x")));
    list.add(FederateEntry("b", Reference(2, "y")));
    const auto v = encodeValue(list);
    EXPECT_EQ(list.encodedLength(), v.size());
    EXPECT_EQ("00 00 00 02", hex(v.data(), 4));
}

TEST(FederateList, RoundTrip) {
    FederateList list(3);
    list.add(FederateEntry("alpha", Reference(1000, "host-a")));
    list.add(
        FederateEntry(std::string(63, 'm').c_str(), Reference(2000, std::string(49, 'q').c_str())));
    list.add(FederateEntry("", Reference()));
    const FederateList d = decodeExact<FederateList>(encodeValue(list));
    ASSERT_EQ(3u, d.size());
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_STREQ(list[i].name, d[i].name);
        EXPECT_EQ(list[i].ref, d[i].ref);
    }
    expectEveryTruncationRefused<FederateList>(encodeValue(list));
}

TEST(FederationExecutionList, RoundTripAndBytes) {
    FederationExecutionList list(20);
    list.add(FederationExecutionEntry("exec", Reference(40123, "vm")));
    const auto v = encodeValue(list);
    EXPECT_EQ("00 00 00 01 00 00 00 05 65 78 65 63 00 00 00 00 00 00 9c bb 00 00 00 03 76 6d 00 00",
              hex(v));
    const auto d = decodeExact<FederationExecutionList>(v);
    ASSERT_EQ(1u, d.size());
    EXPECT_STREQ("exec", d[0].name);
    EXPECT_EQ(Reference(40123, "vm"), d[0].ref);
    expectEveryTruncationRefused<FederationExecutionList>(v);
}

TEST(FederateList, DecoderRefusesLongNameAndHost) {
    EncodeBuffer longName;
    longName.putULong(1);
    longName.putString(std::string(64, 'n'));
    Reference(1, "h").encode(longName);
    EXPECT_THROW(decodeExact<FederateList>(longName.bytes()), MalformedMessage);

    EncodeBuffer longHost;
    longHost.putULong(1);
    longHost.putString("ok");
    longHost.putUShort(1);
    longHost.putString(std::string(50, 'h'));
    EXPECT_THROW(decodeExact<FederationExecutionList>(longHost.bytes()), MalformedMessage);
}

TEST(FederateList, DecoderRefusesHugeCountWithoutAllocating) {
    for (uint32_t count : {0xFFFFFFFFu, 0x80000000u, 1000000u, 2u}) {
        EncodeBuffer buf;
        buf.putULong(count);
        FederateEntry("a", Reference(1, "b")).encode(buf);  // one entry only
        const Exact e(buf.bytes());
        allocprobe::reset();
        EXPECT_THROW(FederateList::decode(e.data(), e.size()), MalformedMessage) << count;
        EXPECT_THROW(FederationExecutionList::decode(e.data(), e.size()), MalformedMessage)
            << count;
        EXPECT_LT(allocprobe::largest(), 4096u) << count;
    }
}

// ---- ExecutionTable ---------------------------------------------------------

TEST(ExecutionTable, ExactBytesRoundTripAndRefusals) {
    using RTIP::ExecutionTableEntry;
    const RTIP::ExecutionTable table = {
        {ExecutionTableEntry::reserved, "first", Reference()},
        {ExecutionTableEntry::registered, "second", Reference(7, "h")},
    };
    EncodeBuffer buf;
    RTIP::encodeExecutionTable(table, buf);
    const char* const expected =
        "00 00 00 02 "
        "00 00 00 02 00 00 00 06 66 69 72 73 74 00 00 00 00 00 00 00 00 00 00 01 00 00 00 00 "
        "00 00 00 03 00 00 00 07 73 65 63 6f 6e 64 00 00 00 00 00 07 00 00 00 02 68 00 00 00";
    EXPECT_EQ(hex(bytes(expected)), hex(buf.bytes()));

    auto decode = [](const std::vector<char>& v) {
        const Exact e(v);
        DecodeCursor in(e.data(), e.size());
        return RTIP::decodeExecutionTable(in);
    };
    const RTIP::ExecutionTable back = decode(buf.bytes());
    ASSERT_EQ(2u, back.size());
    EXPECT_EQ(ExecutionTableEntry::reserved, back[0].state);
    EXPECT_EQ("first", back[0].name);
    EXPECT_EQ(Reference(), back[0].ref);
    EXPECT_EQ(ExecutionTableEntry::registered, back[1].state);
    EXPECT_EQ("second", back[1].name);
    EXPECT_EQ(Reference(7, "h"), back[1].ref);
    for (size_t len = 0; len < buf.size(); ++len) {
        EXPECT_THROW(decode(std::vector<char>(buf.bytes().begin(), buf.bytes().begin() + len)),
                     MalformedMessage)
            << "prefix " << len;
    }

    std::vector<char> unknownState = buf.bytes();
    unknownState[7] = 1;  // the first entry's state: 1 is an unused slot, never sent
    EXPECT_THROW(decode(unknownState), MalformedMessage);
    EncodeBuffer longName;
    RTIP::encodeExecutionTable({{ExecutionTableEntry::reserved, std::string(64, 'n'), Reference()}},
                               longName);
    EXPECT_THROW(decode(longName.bytes()), MalformedMessage);
    EncodeBuffer hugeCount;
    hugeCount.putULong(0x80000000u);
    allocprobe::reset();
    EXPECT_THROW(decode(hugeCount.bytes()), MalformedMessage);
    EXPECT_LT(allocprobe::largest(), 4096u);
}

// ---- AttributeHandleSet -----------------------------------------------------

TEST(AttributeHandleSet, ExactBytesAndRoundTrip) {
    RTI::AttributeHandleSet empty;
    EXPECT_EQ("00 00 00 00", hex(encodeValue(empty)));
    RTI::AttributeHandleSet s;
    s.add(1);
    s.add(0x01020304);
    s.add(1);
    EXPECT_EQ(16u, s.encodedLength());
    EXPECT_EQ("00 00 00 03 00 00 00 01 01 02 03 04 00 00 00 01", hex(encodeValue(s)));
    EXPECT_TRUE(decodeExact<RTI::AttributeHandleSet>(encodeValue(s)) == s);
    EXPECT_TRUE(decodeExact<RTI::AttributeHandleSet>(encodeValue(empty)) == empty);
    expectEveryTruncationRefused<RTI::AttributeHandleSet>(encodeValue(s));
}

TEST(AttributeHandleSet, DecoderRefusesHugeCount) {
    // 0x40000001 * 4 wraps to 4 in 32 bits; 0xFFFFFFFF * 4 is huge.
    for (const char* c :
         {"40 00 00 01 00 00 00 07", "ff ff ff ff 00 00 00 07", "00 00 00 02 00 00 00 07"}) {
        const Exact e(bytes(c));
        allocprobe::reset();
        EXPECT_THROW(RTI::AttributeHandleSet::decode(e.data(), e.size()), MalformedMessage) << c;
        EXPECT_LT(allocprobe::largest(), 4096u) << c;
    }
}
