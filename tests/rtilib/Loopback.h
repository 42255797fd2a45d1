// A connected pair of RTImessageStreams over 127.0.0.1.
#pragma once

#include <ace/INET_Addr.h>
#include <ace/SOCK_Acceptor.h>
#include <ace/SOCK_Connector.h>
#include <gtest/gtest.h>

#include "RTImessageStream.h"

struct LoopbackPair {
    RTImessageStream client;  // connected end
    RTImessageStream server;  // accepted end

    LoopbackPair() {
        ACE_SOCK_Acceptor acceptor;
        ACE_INET_Addr any(static_cast<u_short>(0), "127.0.0.1");
        EXPECT_EQ(0, acceptor.open(any, 1));
        ACE_INET_Addr bound;
        acceptor.get_local_addr(bound);
        ACE_SOCK_Connector connector;
        ACE_INET_Addr target(bound.get_port_number(), "127.0.0.1");
        EXPECT_EQ(0, connector.connect(client, target));
        EXPECT_EQ(0, acceptor.accept(server));
        acceptor.close();
    }
    ~LoopbackPair() {
        client.close();
        server.close();
    }
};
