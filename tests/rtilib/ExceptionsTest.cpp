// The exception family: printed forms, copies, and rethrowing a decoded
// exception as the class its name names.
#include <gtest/gtest.h>

#include <string>
#include <typeinfo>

#include "Coding.h"
#include "RTIexceptions.h"
#include "TestBytes.h"

using testbytes::printed;

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
