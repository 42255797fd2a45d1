// The exception family: class names, printed forms, copies, and rethrowing a
// decoded exception as the class its name names.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <typeinfo>

#include "Coding.h"
#include "MsgType.h"
#include "RTIexceptions.h"

namespace {

template <class T>
std::string printed(const T& v) {
    std::ostringstream os;
    os << v;
    return os.str();
}

}  // namespace

TEST(Exceptions, ClassNames) {
    EXPECT_STREQ("RTI::Exception", RTI::Exception::_ex);
    EXPECT_STREQ("RTI::RTIinternalError", RTI::RTIinternalError::_ex);
    EXPECT_STREQ("RTI::FederationExecutionAlreadyExists",
                 RTI::FederationExecutionAlreadyExists::_ex);
    EXPECT_STREQ("RTI::FederationExecutionDoesNotExist", RTI::FederationExecutionDoesNotExist::_ex);
    EXPECT_STREQ("RTI::FederateNotExecutionMember", RTI::FederateNotExecutionMember::_ex);
    EXPECT_STREQ("RTI::FederatesCurrentlyJoined", RTI::FederatesCurrentlyJoined::_ex);
    EXPECT_STREQ("RTIP::NotInitialized", RTIP::NotInitialized::_ex);
    EXPECT_STREQ("RTIP::FederationCountExceeded", RTIP::FederationCountExceeded::_ex);
    EXPECT_STREQ("RTIP::MorvaReferenceNotInitialized", RTIP::MorvaReferenceNotInitialized::_ex);
    EXPECT_EQ("RTI::Exception", RTI::Exception(1, "r").name());
    EXPECT_EQ("RTIP::NotInitialized", RTIP::NotInitialized(1, "r").name());
}

TEST(Exceptions, PrintedForm) {
    const RTI::FederatesCurrentlyJoined e(
        23806, "RTIMorvaImpl::destroyFederationExecution: Still have federates joined");
    EXPECT_EQ(
        "RTI::FederatesCurrentlyJoined [23806] RTIMorvaImpl::destroyFederationExecution: Still "
        "have "
        "federates joined",
        printed(&e));
    EXPECT_EQ(printed(&e), printed(e));
    const RTI::Exception* none = nullptr;
    EXPECT_EQ("(null)", printed(none));
    EXPECT_EQ(
        "RTI::FederateNotExecutionMember [23801] RTIMorvaImpl::disconnect: Federate 7 not joined",
        printed(RTI::FederateNotExecutionMember(
            23801, "RTIMorvaImpl::disconnect: Federate 7 not joined")));
}

TEST(Exceptions, CopyableAndCaughtByBaseReference) {
    const RTI::RTIinternalError original(12000, "why");
    RTI::RTIinternalError copy = original;
    EXPECT_EQ(12000u, copy.serial());
    EXPECT_EQ("why", copy.reason());
    try {
        throw copy;
    } catch (const RTI::Exception& e) {
        EXPECT_EQ("RTI::RTIinternalError", e.name());
        EXPECT_EQ(typeid(RTI::RTIinternalError), typeid(e));
    }
    RTI::Exception assigned(0, "");
    assigned = original;
    EXPECT_EQ("RTI::RTIinternalError", assigned.name());
}

TEST(Exceptions, WithNameKeepsAnyName) {
    const auto e = RTI::Exception::withName(3, "r", "Other::Thing");
    EXPECT_EQ("Other::Thing [3] r", printed(e));
}

namespace {

// Encodes `e`, decodes it, rethrows it, and checks what arrives.
template <class Expected>
void expectRethrownAs(const RTI::Exception& e) {
    RTIP::EncodeBuffer buf;
    buf.putException(e);
    const RTI::Exception decoded =
        RTItransportationManager::decodeException(buf.data(), buf.size());
    try {
        RTI::throwAsNamedClass(decoded);
    } catch (const Expected& got) {
        EXPECT_EQ(typeid(Expected), typeid(got)) << e.name();
        EXPECT_EQ(e.serial(), got.serial());
        EXPECT_EQ(e.reason(), got.reason());
        EXPECT_EQ(e.name(), got.name());
        return;
    } catch (...) {
    }
    ADD_FAILURE() << "not rethrown as " << typeid(Expected).name() << " for " << e.name();
}

}  // namespace

TEST(Exceptions, ThrowAsNamedClassForEveryClass) {
    expectRethrownAs<RTI::Exception>(RTI::Exception(1, "base"));
    expectRethrownAs<RTI::RTIinternalError>(RTI::RTIinternalError(2, "a"));
    expectRethrownAs<RTI::FederationExecutionAlreadyExists>(
        RTI::FederationExecutionAlreadyExists(3, "b"));
    expectRethrownAs<RTI::FederationExecutionDoesNotExist>(
        RTI::FederationExecutionDoesNotExist(4, "c"));
    expectRethrownAs<RTI::FederateNotExecutionMember>(RTI::FederateNotExecutionMember(5, "d"));
    expectRethrownAs<RTI::FederatesCurrentlyJoined>(RTI::FederatesCurrentlyJoined(6, "e"));
    expectRethrownAs<RTIP::NotInitialized>(RTIP::NotInitialized(7, "f"));
    expectRethrownAs<RTIP::FederationCountExceeded>(RTIP::FederationCountExceeded(8, "g"));
    expectRethrownAs<RTIP::MorvaReferenceNotInitialized>(RTIP::MorvaReferenceNotInitialized(9, ""));
}

TEST(Exceptions, UnknownNameRethrownAsBaseKeepingName) {
    try {
        RTI::throwAsNamedClass(RTI::Exception::withName(10, "odd", "RTI::SomethingElse"));
    } catch (const RTI::Exception& e) {
        EXPECT_EQ(typeid(RTI::Exception), typeid(e));
        EXPECT_EQ("RTI::SomethingElse", e.name());
        EXPECT_EQ(10u, e.serial());
        EXPECT_EQ("odd", e.reason());
    }
}

TEST(MsgTypes, PrintedInDecimal) {
    EXPECT_EQ("500", printed(msgJoinFederationExecution));
    EXPECT_EQ("127", printed(msgRollCallStart));
    EXPECT_EQ("908", printed(msgMorvaObituary));
    EXPECT_EQ("1008", printed(msgUnknownRequest));
    EXPECT_EQ("4294967295", printed(static_cast<msgType>(0xFFFFFFFFu)));
}

TEST(MsgTypes, WireValues) {
    static_assert(msgRosterBroadcast == 128 && msgRollCallAnswer == 129 && msgFederateLeft == 132,
                  "");
    static_assert(msgAdoptOrphanedAttributes == 518 && msgDisconnectFederate == 516, "");
    static_assert(msgReserveFederationExecution == 900 && msgGetAllFederationExecutionsReply == 907,
                  "");
    static_assert(msgException == 1000 && msgFederationExecutionDoesNotExist == 1005, "");
    static_assert(sizeof(msgType) == 4, "");
    SUCCEED();
}
