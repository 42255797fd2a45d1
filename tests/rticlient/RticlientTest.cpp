// rticlient's decoders over hostile bytes, and how answers map to errors,
// against scripted peers (tests/support's FakePeer).
#include <gtest/gtest.h>

#include <random>

#include "RawConnection.h"
#include "rticlient/rticlient.h"

namespace {

using namespace std::chrono_literals;
using rticlient::Bytes;
using testsupport::concat;
using testsupport::counted;
using testsupport::u32;

Bytes toBytes(const std::vector<char>& v) { return Bytes(v.begin(), v.end()); }

// Every decoder, each of which must return or throw DecodeError.
void decodeAll(const Bytes& b) {
    using namespace rticlient;
    const std::function<void()> calls[] = {
        [&] { decodeExecutionTable(b, true); },
        [&] { decodeExecutionTable(b, false); },
        [&] { decodeFailure(b); },
        [&] { decodeAdoptOffer(b); },
        [&] { decodeTrailingVector(b); },
        [&] { decodeFederateLeft(b); },
        [&] { Decoder(b).getEntryList(); },
        [&] { Decoder(b).getReference(); },
        [&] { Decoder(b).getFederateVector(); },
        [&] { Decoder(b).getAttributeSet(); },
    };
    for (const auto& call : calls) {
        try {
            call();
        } catch (const DecodeError&) {
        }
    }
}

// Random payloads biased towards what decoders look at, and every prefix of
// valid ones: nothing but DecodeError, and (under the sanitizers) no read
// past the bytes.
TEST(RticlientCodec, DecodersRefuseHostileBytesCleanly) {
    std::mt19937 rng(20261209);
    const uint32_t words[] = {0, 1, 2, 3, 4, 5, 21, 64, 0xffffffffu};
    for (int i = 0; i < 3000; ++i) {
        Bytes b;
        for (int n = rng() % 12; n > 0; --n) {
            if (rng() % 2) {
                const auto w = toBytes(u32(words[rng() % 9]));
                b.insert(b.end(), w.begin(), w.end());
            } else {
                b.push_back(static_cast<uint8_t>(rng() % 3 == 0 ? 0 : rng()));
            }
        }
        decodeAll(b);
    }
    const Bytes table =
        toBytes(concat({u32(1), u32(4), counted("lost"), u32(7), counted("h"), u32(42)}));
    const Bytes offer = toBytes(concat({u32(99), u32(5), u32(2), u32(1), u32(2)}));
    EXPECT_EQ(rticlient::decodeExecutionTable(table, true).entries.at(0).graceSeconds, 42u);
    EXPECT_EQ(rticlient::decodeAdoptOffer(offer).attributes, (std::vector<uint32_t>{1, 2}));
    for (const Bytes* full : {&table, &offer}) {
        for (size_t cut = 0; cut < full->size(); ++cut) {
            const Bytes part(full->begin(), full->begin() + static_cast<long>(cut));
            EXPECT_THROW(full == &table ? (void)rticlient::decodeExecutionTable(part, true)
                                        : (void)rticlient::decodeAdoptOffer(part),
                         rticlient::DecodeError)
                << cut;
        }
    }
    // Today's table is never taken for the extended form.
    const Bytes old = toBytes(concat({u32(2), u32(3), counted("a"), u32(7), counted("h"), u32(2),
                                      counted("b"), u32(0), counted("")}));
    EXPECT_THROW(rticlient::decodeExecutionTable(old, true), rticlient::DecodeError);
    EXPECT_EQ(rticlient::decodeExecutionTable(old, false).entries.size(), 2u);
}

// A peer that reads one request and answers with `answer` (raw bytes).
std::unique_ptr<testsupport::FakePeer> answering(std::vector<char> answer) {
    return std::make_unique<testsupport::FakePeer>([answer](testsupport::RawConnection& conn) {
        if (conn.receive()) conn.sendBytes(answer);
        conn.waitClosed();
    });
}

std::vector<char> failure(uint32_t type, uint32_t serial, const std::string& reason,
                          const std::string& cls) {
    return testsupport::RawConnection::frameBytes(
        type, concat({u32(serial), counted(reason), counted(cls)}));
}

TEST(RticlientErrors, FailureAnswersBecomeTheirClassesAndOtherAnswersTheirErrors) {
    {
        auto peer = answering(failure(1006, 23802, "why", "RTI::FederateNotExecutionMember"));
        rticlient::Executive ex("127.0.0.1", peer->port(), 5s);
        try {
            ex.federateReference(9);
            FAIL() << "no refusal";
        } catch (const rticlient::FederateNotExecutionMember& e) {
            EXPECT_EQ(e.serial(), 23802u);
            EXPECT_EQ(e.reason(), "why");
            EXPECT_EQ(e.answerType(), 1006u);
            EXPECT_STREQ(e.what(), "RTI::FederateNotExecutionMember [23802] why");
        }
        EXPECT_TRUE(ex.connected()) << "a refusal keeps the connection";
    }
    {
        // An unknown class is the base class itself, with the name it had.
        auto peer = answering(failure(1000, 5, "r", "Other::Thing"));
        rticlient::Registry reg("127.0.0.1", peer->port(), 5s);
        try {
            reg.reserve("x");
            FAIL() << "no refusal";
        } catch (const rticlient::RTIError& e) {
            EXPECT_EQ(typeid(e), typeid(rticlient::RTIError));
            EXPECT_EQ(e.className(), "Other::Thing");
        }
    }
    {
        auto peer = answering(testsupport::RawConnection::frameBytes(1008, {}));
        rticlient::Registry reg("127.0.0.1", peer->port(), 5s);
        EXPECT_THROW(reg.executionTable(), rticlient::UnknownRequest);
        EXPECT_FALSE(reg.connected());
        EXPECT_THROW(reg.list(), rticlient::NotConnected);
    }
    {
        // A header past the limit is refused before its payload is read.
        auto peer = answering(concat({u32(905), u32(rticlient::kMaxPayload + 1)}));
        rticlient::Registry reg("127.0.0.1", peer->port(), 5s);
        EXPECT_THROW(reg.lookup("x"), rticlient::ProtocolError);
    }
}

// Relays that arrive while a request waits are kept in order for receive();
// when the executive then closes, what arrived is still delivered before the
// loss is reported.
TEST(RticlientExecutive, KeepsMessagesAcrossARequestAndReportsTheCloseAfterThem) {
    testsupport::FakePeer peer([](testsupport::RawConnection& conn) {
        if (!conn.receive()) return;
        conn.sendFrame(600, testsupport::bytes("one"));
        conn.sendFrame(132, u32(4));
        conn.sendFrame(507, u32(77));
        conn.sendFrame(601, testsupport::bytes("two"));
    });
    rticlient::Executive ex("127.0.0.1", peer.port(), 5s);
    EXPECT_EQ(ex.allocateNumber(), 77u);
    auto m = ex.receive(5s);
    ASSERT_TRUE(m);
    EXPECT_EQ(m->type, 600u);
    m = ex.receive(5s);
    ASSERT_TRUE(m);
    EXPECT_EQ(rticlient::Executive::decodeFederateLeft(*m), 4);
    m = ex.receive(5s);
    ASSERT_TRUE(m);
    EXPECT_EQ(m->payload, Bytes({'t', 'w', 'o'}));
    EXPECT_THROW(ex.receive(5s), rticlient::ConnectionLost);
    EXPECT_THROW(ex.allocateNumber(), rticlient::NotConnected);
}

}  // namespace
