// Fixtures shared by the socket layer tests of all platforms.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "net/net.h"
#include "test_sockets.h"

// A loopback server on a port of the platform's choice, one client
// connected to it (in a set of capacity 1), and the accepted server side as
// a plain socket.
class NetConnection : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(0, Net_Init());
        const Net_Address any = loopback(0);
        m_pServer = Net_TCP_Open(&any, 1);
        ASSERT_NE(nullptr, m_pServer) << Net_GetError();
        m_pClient = Net_TCP_Open(&m_pServer->localAddress, 0);
        ASSERT_NE(nullptr, m_pClient) << Net_GetError();
        m_nPeer = raw_accept(m_pServer->channel);
        ASSERT_NE(NET_INVALID_CHANNEL, m_nPeer);
        m_pSet = Net_AllocSocketSet(1);
        ASSERT_NE(nullptr, m_pSet);
        ASSERT_EQ(1, Net_TCP_AddSocket(m_pSet, m_pClient));
    }

    void TearDown() override {
        Net_FreeSocketSet(m_pSet);
        if (m_nPeer != NET_INVALID_CHANNEL)
            raw_close(m_nPeer);
        Net_TCP_Close(m_pClient);
        Net_TCP_Close(m_pServer);
        Net_Quit();
    }

    void peer_sends(const std::string &text) {
        ASSERT_EQ(static_cast<int>(text.size()),
                  raw_send(m_nPeer, text.data(), static_cast<int>(text.size())));
    }

    Net_TCPSocket *m_pServer = nullptr;
    Net_TCPSocket *m_pClient = nullptr;
    Net_SocketSet *m_pSet = nullptr;
    Net_Channel m_nPeer = NET_INVALID_CHANNEL;
};

// A listener whose queue of pending connections is full (FullListener).
class NetFullListener : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(0, Net_Init());
        m_pListener = new FullListener;
        ASSERT_TRUE(m_pListener->valid());
    }
    void TearDown() override {
        delete m_pListener;
        Net_Quit();
    }

    FullListener *m_pListener = nullptr;
};
