// Integers, counted strings and exceptions: exact bytes, round trips and
// every malformed string the decoders must refuse.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "Coding.h"
#include "RTIexceptions.h"
#include "TestBytes.h"

using RTIP::DecodeCursor;
using RTIP::EncodeBuffer;
using RTIP::MalformedMessage;
using TM = RTItransportationManager;
using testbytes::bytes;
using testbytes::Exact;
using testbytes::hex;

namespace {

std::vector<char> encodeString(const std::string& text) {
    std::vector<char> out(TM::encodedStringLength(text.size() + 1));
    EXPECT_EQ(out.size(), TM::encode(out.data(), text.c_str(), text.size() + 1));
    return out;
}

std::string decodeString(const std::vector<char>& v, uint32_t& n) {
    Exact e(v);
    return TM::decodeStr(e.data(), e.size(), n);
}

}  // namespace

TEST(Integers, ULongIsBigEndian) {
    char b[4];
    EXPECT_EQ(4u, TM::encode(b, uint32_t{0x01020304}));
    EXPECT_EQ("01 02 03 04", hex(b, 4));
    Exact e(b, 4);
    EXPECT_EQ(0x01020304u, TM::decodeULong(e.data(), e.size()));
}

TEST(Integers, UShortTakesFourBytes) {
    char b[4];
    EXPECT_EQ(4u, TM::encode(b, uint16_t{0xBEEF}));
    EXPECT_EQ("00 00 be ef", hex(b, 4));
    Exact e(bytes("12 34 56 78"));
    EXPECT_EQ(0x5678, TM::decodeUShort(e.data(), e.size()));  // low 16 bits kept
}

TEST(Integers, ShortInputRefused) {
    Exact e(bytes("00 00 01"));
    EXPECT_THROW(TM::decodeULong(e.data(), e.size()), MalformedMessage);
    EXPECT_THROW(TM::decodeUShort(e.data(), e.size()), MalformedMessage);
    DecodeCursor in(e.data(), e.size());
    EXPECT_THROW(in.getULong(), MalformedMessage);
    EXPECT_EQ(0u, in.position());
}

TEST(Integers, CursorReadsInOrder) {
    EncodeBuffer out;
    out.putULong(0xDEADBEEF);
    out.putUShort(40123);
    out.putByte(7);
    EXPECT_EQ("de ad be ef 00 00 9c bb 07", hex(out.bytes()));
    Exact e(out.bytes());
    DecodeCursor in(e.data(), e.size());
    EXPECT_EQ(0xDEADBEEFu, in.getULong());
    EXPECT_EQ(40123, in.getUShort());
    EXPECT_EQ(7, in.getByte());
    EXPECT_EQ(0u, in.remaining());
    EXPECT_THROW(in.getByte(), MalformedMessage);
    EXPECT_THROW(in.skip(1), MalformedMessage);
}

TEST(Strings, EncodedStringLength) {
    EXPECT_EQ(8u, TM::encodedStringLength(1));
    EXPECT_EQ(8u, TM::encodedStringLength(4));
    EXPECT_EQ(12u, TM::encodedStringLength(5));
    EXPECT_EQ(12u, TM::encodedStringLength(8));
    EXPECT_EQ(16u, TM::encodedStringLength(9));
}

TEST(Strings, ExactBytes) {
    EXPECT_EQ("00 00 00 04 61 62 63 00", hex(encodeString("abc")));
    EXPECT_EQ("00 00 00 01 00 00 00 00", hex(encodeString("")));
    EXPECT_EQ("00 00 00 05 61 62 63 64 00 00 00 00", hex(encodeString("abcd")));
    EXPECT_EQ("00 00 00 08 61 62 63 64 65 66 67 00", hex(encodeString("abcdefg")));
}

TEST(Strings, EncodeBufferMatchesStaticEncoder) {
    for (const std::string s : {"", "a", "abc", "abcd", "hello world"}) {
        EncodeBuffer out;
        out.putString(s);
        EXPECT_EQ(hex(encodeString(s)), hex(out.bytes())) << s;
    }
}

TEST(Strings, RoundTrip) {
    const std::vector<std::string> samples = {
        "", "a", "ab", "abc", "abcd", "abcde", std::string(63, 'x'), std::string(1000, 'y')};
    for (const std::string& s : samples) {
        uint32_t n = 0;
        EXPECT_EQ(s, decodeString(encodeString(s), n));
        EXPECT_EQ(s.size() + 1, n);
        Exact e(encodeString(s));
        DecodeCursor in(e.data(), e.size());
        uint32_t count = 0;
        EXPECT_EQ(s, in.getString(&count));
        EXPECT_EQ(s.size() + 1, count);
        EXPECT_EQ(0u, in.remaining());
    }
}

TEST(Strings, PaddingNotChecked) {
    uint32_t n = 0;
    EXPECT_EQ("a", decodeString(bytes("00 00 00 02 61 00 ff ff"), n));
    EXPECT_EQ(2u, n);
}

TEST(Strings, MalformedRefused) {
    const char* cases[] = {
        "",                                     // nothing
        "00",                                   // 1 byte
        "00 00 00",                             // 3 bytes: no whole count
        "00 00 00 00 00 00 00 00",              // n == 0
        "00 00 00 05 61 62 63 64",              // n = 5 needs 12 bytes
        "00 00 00 04 61 62 63",                 // text cut short
        "00 00 00 04 61 62 63 64",              // byte n-1 not NUL
        "00 00 00 04 61 00 63 00",              // NUL before byte n-1
        "00 00 00 01 61 00 00 00",              // n = 1 but byte 0 not NUL
        "ff ff ff ff 00 00 00 00",              // n near 2^32
        "ff ff ff fd 00 00 00 00",              // round-up would wrap in 32 bits
        "ff ff ff fc 00 00 00 00 00 00 00 00",  // 4 + n would wrap in 32 bits
    };
    for (const char* c : cases) {
        uint32_t n = 99;
        EXPECT_THROW(decodeString(bytes(c), n), MalformedMessage) << c;
        Exact e(bytes(c));
        DecodeCursor in(e.data(), e.size());
        EXPECT_THROW(in.getString(), MalformedMessage) << c;
        EXPECT_EQ(0u, in.position()) << c;
    }
}

TEST(Strings, EveryTruncationRefused) {
    const auto full = encodeString("hello world");
    for (size_t len = 0; len < full.size(); ++len) {
        Exact e(full.data(), len);
        uint32_t n = 0;
        EXPECT_THROW(TM::decodeStr(e.data(), e.size(), n), MalformedMessage) << len;
    }
}

TEST(Strings, LongNamesNotRefusedByPlainDecoder) {
    const std::string s(200, 'n');
    uint32_t n = 0;
    EXPECT_EQ(s, decodeString(encodeString(s), n));
}

TEST(ExceptionCoding, ExactBytes) {
    const RTI::Exception e(1, "x");
    std::vector<char> out(TM::encodedExceptionLength(e));
    EXPECT_EQ(out.size(), TM::encode(out.data(), e));
    // serial, "x" (n = 2), "RTI::Exception" (n = 15)
    EXPECT_EQ(
        "00 00 00 01 "
        "00 00 00 02 78 00 00 00 "
        "00 00 00 0f 52 54 49 3a 3a 45 78 63 65 70 74 69 6f 6e 00 00",
        hex(out));
    EXPECT_EQ(32u, out.size());
}

TEST(ExceptionCoding, LengthIsEncodedExceptionLength) {
    const RTI::FederatesCurrentlyJoined e(
        23806, "RTIMorvaImpl::destroyFederationExecution: Still have federates joined");
    const size_t expected =
        4 + TM::encodedStringLength(e.reason().size() + 1) +
        TM::encodedStringLength(std::strlen(RTI::FederatesCurrentlyJoined::_ex) + 1);
    EXPECT_EQ(expected, TM::encodedExceptionLength(e));
    std::vector<char> out(TM::encodedExceptionLength(e));
    EXPECT_EQ(expected, TM::encode(out.data(), e));
    EncodeBuffer buf;
    buf.putException(e);
    EXPECT_EQ(hex(out), hex(buf.bytes()));
}

TEST(ExceptionCoding, RoundTripKeepsSerialReasonAndName) {
    const RTIP::MorvaReferenceNotInitialized e(12003,
                                               "QuorvexImpl::getMorvaByName: not registered");
    EncodeBuffer buf;
    buf.putException(e);
    Exact x(buf.bytes());
    const RTI::Exception d = TM::decodeException(x.data(), x.size());
    EXPECT_EQ(12003u, d.serial());
    EXPECT_EQ(e.reason(), d.reason());
    EXPECT_EQ("RTIP::MorvaReferenceNotInitialized", d.name());
}

TEST(ExceptionCoding, EveryTruncationRefused) {
    EncodeBuffer buf;
    buf.putException(RTI::RTIinternalError(5, "reason"));
    for (size_t len = 0; len < buf.size(); ++len) {
        Exact e(buf.data(), len);
        EXPECT_THROW(TM::decodeException(e.data(), e.size()), MalformedMessage) << len;
    }
}
