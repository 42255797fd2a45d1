// Message types of both protocols: federation (executive) and registry.
// Values are on the wire; never renumber. Relayed messages may carry any
// 32-bit value, so the enum has a fixed underlying type.
#pragma once

#include <cstdint>
#include <ostream>

enum msgType : uint32_t {
    // Federation-wide messages relayed by the executive.
    msgRollCallStart = 127,
    msgRosterBroadcast = 128,
    msgRollCallAnswer = 129,
    msgFederateLeft = 132,

    // Federate <-> executive requests and answers.
    msgJoinFederationExecution = 500,
    msgJoinFederationExecutionReply = 501,
    msgGetBestEffortAddress = 502,
    msgGetBestEffortAddressReply = 503,
    msgResignFederationExecution = 504,
    msgResignFederationExecutionReply = 505,
    msgAllocateNumber = 506,
    msgAllocateNumberReply = 507,
    msgGetFederateList = 508,
    msgGetFederateListReply = 509,
    msgGetFederateVector = 510,
    msgGetFederateVectorReply = 511,
    msgGetFederateReference = 512,
    msgGetFederateReferenceReply = 513,
    msgDestroyFederationExecution = 514,
    msgDestroyFederationExecutionReply = 515,
    msgDisconnectFederate = 516,
    msgOrphanedAttributes = 517,
    msgAdoptOrphanedAttributes = 518,

    // Registry protocol: requests even, replies odd.
    msgReserveFederationExecution = 900,
    msgReserveFederationExecutionReply = 901,
    msgRegisterFederationExecution = 902,
    msgRegisterFederationExecutionReply = 903,
    msgGetMorvaByName = 904,
    msgGetMorvaByNameReply = 905,
    msgGetAllFederationExecutions = 906,
    msgGetAllFederationExecutionsReply = 907,
    msgMorvaObituary = 908,
    // Every execution of the table, reserved ones included (rtictl status).
    msgGetExecutionTable = 960,
    msgGetExecutionTableReply = 961,

    // Failure answers; the payload is an encoded RTI::Exception (none for 1008).
    msgException = 1000,
    msgFederationExecutionAlreadyExists = 1001,
    msgMorvaReferenceNotInitialized = 1002,
    msgFederationCountExceeded = 1003,
    msgFederationExecutionDoesNotExist = 1005,
    msgFederateNotExecutionMember = 1006,
    msgFederatesCurrentlyJoined = 1007,
    msgUnknownRequest = 1008,
};

// Printed as the number in decimal.
std::ostream& operator<<(std::ostream& os, msgType type);
