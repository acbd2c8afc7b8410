// A small TCP client on 127.0.0.1 for tests of the kit's
// servers. Every call is bounded by a time-out.
#pragma once

#include <cstddef>
#include <cstdint>

#include "kit_socket.h"
#include "wire.h"

namespace testkit {

class TestClient {
public:
    enum End { END_CLOSED, END_RESET, END_TIMEOUT };

    TestClient() = default;
    ~TestClient() { Close(); }
    TestClient(const TestClient &) = delete;
    TestClient &operator=(const TestClient &) = delete;

    // True once the handshake completed, even when the server reset the
    // connection straight after (WaitForEnd then reports the reset).
    bool Connect(uint16_t nPort, int nTimeoutMs = 5000);
    bool Send(const Bytes &bytes, int nTimeoutMs = 5000);
    // Reads until n bytes have come, the stream ends or the time is up.
    Bytes Receive(size_t n, int nTimeoutMs);
    // Reads and discards until the stream ends; reports how it ended.
    End WaitForEnd(int nTimeoutMs);
    // Sends without blocking until the socket takes no more; returns the
    // bytes sent. Stops after nMaxBytes.
    size_t FillUntilBlocked(const Bytes &chunk, size_t nMaxBytes);
    void SetSendBuffer(int nBytes);
    void Close();

private:
    bool ResetSeenAsEnd();

    Socket m_fd = BAD_SOCKET;
    bool m_bResetEarly = false; // reset before Connect had looked at it
};

// 0 when a connect to the port completes within the time-out, else the
// error (ECONNREFUSED, ETIMEDOUT, ...).
int TryConnect(uint16_t nPort, int nTimeoutMs);

} // namespace testkit
