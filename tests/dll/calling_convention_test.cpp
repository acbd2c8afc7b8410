// The calling convention between the DLL and its host, checked at the level
// of the machine. This program is the host: it loads the built DLL, looks its
// five exports up into pointers of the public header's types (DEZ_CALL, which
// only a pointer of that convention converts to), and makes every call
// through stack_probe_call, which reports what the call did to the stack
// pointer and then puts it back. In the 32-bit cdecl convention the caller
// removes the arguments, so after each call the stack pointer must stand
// where it stood at the call; a stdcall export would have moved it up by four
// bytes per argument. Measured this way, a wrong convention fails the test
// loudly instead of corrupting this program's stack.
//
// The other way round, the relay calls this program's SendFunc and Func1002
// on its connection thread. Their entries (machine code) note the stack
// pointer and the return address at entry. A caller that does not remove the
// arguments of each call, as one that takes these cdecl functions for stdcall
// ones does, calls from a stack pointer that sinks with every call; so every
// callback from one call site of the relay must find the stack pointer at the
// same place. And the callbacks' arguments, read where cdecl puts them, must
// be the ids, data and values that the server sent.
//
// The controls show that both checks bite: the probe reports a callee that
// removes its arguments (on 32-bit a stdcall function of this program; 64-bit
// Windows has a single convention, so there it is a machine-code function
// that removes 16 bytes), and the entry check flags a caller whose stack
// pointer sinks between calls.
#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

#include "config_file.h"
#include "host_fixture.h"
#include "loopback_server.h"
#include "relay_module.h"
#include "stack_probe.h"

namespace {

const int LONG_WAIT_MS = 30000;

// ---- Callbacks as the test sees them -------------------------------------------

struct Callback {
    char type; // 'D' or 'K'
    ProbeEntry entry;
    uint32_t nId;
    uint32_t nValue;     // K
    testkit::Bytes data; // D
};

std::mutex g_mutex;
std::vector<Callback> g_callbacks;

void Record(const Callback &callback) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_callbacks.push_back(callback);
}

std::vector<Callback> Recorded() {
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_callbacks;
}

void ClearRecorded() {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_callbacks.clear();
}

bool WaitForCallbacks(size_t n) {
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(LONG_WAIT_MS);
    while (Recorded().size() < n && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    return Recorded().size() >= n;
}

// Call sites that called more than once, and those of them whose callbacks
// found the stack pointer at different places (empty when none did).
struct SiteReport {
    size_t nRepeatedSites = 0;
    std::string sinking;
};

SiteReport CheckCallSites(const std::vector<Callback> &callbacks) {
    std::map<uintptr_t, std::vector<uintptr_t>> spBySite;
    for (const Callback &c : callbacks)
        spBySite[c.entry.site].push_back(c.entry.sp);
    SiteReport report;
    std::ostringstream text;
    for (const auto &site : spBySite) {
        if (site.second.size() > 1)
            ++report.nRepeatedSites;
        for (uintptr_t sp : site.second) {
            if (sp != site.second.front()) {
                text << "site 0x" << std::hex << site.first << ": stack pointer 0x"
                     << site.second.front() << ", then 0x" << sp << "; ";
                break;
            }
        }
    }
    report.sinking = text.str();
    return report;
}

// ---- Calls through the probe ---------------------------------------------------

struct Probed {
    intptr_t nMoved;
    int32_t nResult;
};

template <class T> uintptr_t Word(T value) {
    if constexpr (std::is_pointer<T>::value)
        return reinterpret_cast<uintptr_t>(value);
    else
        return static_cast<uintptr_t>(value);
}

template <class T> struct Same { typedef T type; };

// Calls pfn, a pointer of the header's convention, with args converted to
// its parameter types.
template <class R, class... P> Probed Call(R(DEZ_CALL *pfn)(P...), typename Same<P>::type... args) {
    const uintptr_t words[] = {Word<P>(args)..., 0};
    intptr_t nResult = 0;
    intptr_t nMoved = stack_probe_call(reinterpret_cast<const void *>(pfn), words,
                                       static_cast<uint32_t>(sizeof...(P)), &nResult);
    return {nMoved, static_cast<int32_t>(nResult)};
}

} // namespace

// ---- The test's side of the calls --------------------------------------------------

extern "C" {

ProbeEntry g_probeEntry;

void DEZ_CALL probe_send_body(uint32_t nId, const unsigned char *pData, int32_t nSize) {
    Callback c{'D', g_probeEntry, nId, 0, {}};
    if (pData != nullptr && nSize > 0)
        c.data.assign(pData, pData + nSize);
    Record(c);
}

void DEZ_CALL probe_k_body(uint32_t nId, uint32_t nValue) {
    Record(Callback{'K', g_probeEntry, nId, nValue, {}});
}

intptr_t DEZ_CALL probe_cdecl_pair(intptr_t a, intptr_t b) {
    return a + b;
}

#if defined(__i386__)
intptr_t __attribute__((stdcall)) probe_stdcall_pair(intptr_t a, intptr_t b) {
    return a + b;
}
#endif

} // extern "C"

namespace {

#if defined(__i386__)
const void *const kCalleePops = reinterpret_cast<const void *>(&probe_stdcall_pair);
const intptr_t kCalleePopsBytes = 8; // its two arguments
#else
const void *const kCalleePops = reinterpret_cast<const void *>(&probe_callee_pops_pair);
const intptr_t kCalleePopsBytes = 16;
#endif

TEST(StackProbe, TellsTheConventionsApart) {
    const uintptr_t pair[] = {40, 2};
    intptr_t nResult = 0;
    EXPECT_EQ(
        stack_probe_call(reinterpret_cast<const void *>(&probe_cdecl_pair), pair, 2, &nResult), 0);
    EXPECT_EQ(nResult, 42);
    nResult = 0;
    EXPECT_EQ(stack_probe_call(kCalleePops, pair, 2, &nResult), kCalleePopsBytes);
    EXPECT_EQ(nResult, 42);

    // Callbacks from a caller that keeps its stack pointer, then from one
    // whose stack pointer sinks; each site calls three times.
    const uintptr_t k[] = {7, 8};
    ClearRecorded();
    for (int i = 0; i < 3; ++i)
        stack_probe_call(reinterpret_cast<const void *>(&probe_k_entry), k, 2, &nResult);
    SiteReport steady = CheckCallSites(Recorded());
    EXPECT_EQ(steady.nRepeatedSites, 1u);
    EXPECT_EQ(steady.sinking, "");
    ClearRecorded();
    stack_probe_call_sinking(reinterpret_cast<const void *>(&probe_k_entry), k, 2, 3);
    std::vector<Callback> sunk = Recorded();
    ASSERT_EQ(sunk.size(), 3u);
    EXPECT_NE(CheckCallSites(sunk).sinking, "");
    for (const Callback &c : sunk) {
        EXPECT_EQ(c.nId, 7u);
        EXPECT_EQ(c.nValue, 8u);
    }
}

// The module loaded by this program, its exports in the header's types.
class CallingConventionTest : public ::testing::Test {
protected:
    void SetUp() override {
        ClearRecorded();
        ASSERT_TRUE(m_server.Start()) << m_server.Error();
        ASSERT_TRUE(testkit::WriteThunkConfig(testkit::ExecutableDir(),
                                              testkit::ThunkConfig::Connecting(m_server.Port())));
        std::string error;
        ASSERT_TRUE(m_module.Load(testkit::HostFixture::ModulePath(), &error)) << error;
    }

    void TearDown() override {
        if (m_bStarted)
            m_module.load_exit();
        m_module.Unload();
        m_server.Stop();
    }

    // Sends one "D" through pfn until the server has it: the relay drops
    // messages until it counts itself connected. Every call is probed.
    template <class F> void SendUntilArrived(F pfn, uint32_t nId) {
        const unsigned char data[] = {'p', 'r', 'o', 'b', 'e'};
        auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(LONG_WAIT_MS);
        while (std::chrono::steady_clock::now() < until) {
            Probed sent = Call(pfn, static_cast<unsigned char>('D'), nId, data,
                               static_cast<int32_t>(sizeof data));
            EXPECT_EQ(sent.nMoved, 0) << "id " << nId;
            EXPECT_EQ(sent.nResult, 0) << "id " << nId;
            for (const testkit::WirePacket &packet : m_server.Packets()) {
                if (packet.type == 'D' && packet.id == nId &&
                    packet.data == testkit::Bytes(data, data + sizeof data))
                    return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        ADD_FAILURE() << "message " << nId << " never reached the server";
    }

    testkit::LoopbackServer m_server;
    testkit::RelayModule m_module;
    bool m_bStarted = false;
};

TEST_F(CallingConventionTest, ExportsAndCallbacksKeepTheStackAsCdeclDoes) {
    Probed reg =
        Call(m_module.setfunc, reinterpret_cast<void *>(&probe_k_entry), DEZ_FUNC_K_MESSAGE);
    EXPECT_EQ(reg.nMoved, 0) << "sh_setfunc";
    RecvFunc pfRec = nullptr;
    Probed start = Call(m_module.load_start, &probe_send_entry, &pfRec);
    EXPECT_EQ(start.nMoved, 0) << "sh_load_start";
    ASSERT_EQ(start.nResult, DEZ_START_OK);
    m_bStarted = true;
    ASSERT_NE(pfRec, nullptr);
    ASSERT_TRUE(m_server.WaitForClient(LONG_WAIT_MS));
    SendUntilArrived(m_module.recv, 11);
    SendUntilArrived(pfRec, 12);

    // Server to host: "D" and "K" messages, one after the other.
    const int kRounds = 4;
    for (uint32_t i = 0; i < kRounds; ++i) {
        testkit::Bytes value;
        testkit::PutU32le(&value, 1000 + i);
        ASSERT_TRUE(
            m_server.SendPacket('D', 20 + i, testkit::ToBytes("data " + std::to_string(i))));
        ASSERT_TRUE(m_server.SendPacket('K', 30 + i, value));
    }
    ASSERT_TRUE(WaitForCallbacks(2 * kRounds));
    std::vector<Callback> callbacks = Recorded();
    uint32_t nD = 0;
    uint32_t nK = 0;
    for (const Callback &c : callbacks) {
        if (c.type == 'D') {
            EXPECT_EQ(c.nId, 20 + nD);
            EXPECT_EQ(c.data, testkit::ToBytes("data " + std::to_string(nD)));
            ++nD;
        } else {
            EXPECT_EQ(c.nId, 30 + nK);
            EXPECT_EQ(c.nValue, 1000 + nK);
            ++nK;
        }
    }
    EXPECT_EQ(nD, static_cast<uint32_t>(kRounds));
    EXPECT_EQ(nK, static_cast<uint32_t>(kRounds));
    SiteReport sites = CheckCallSites(callbacks);
    EXPECT_GE(sites.nRepeatedSites, 1u) << "no call site called twice: nothing to compare";
    EXPECT_EQ(sites.sinking, "");

    // Not in queue mode, so there is nothing to poll.
    unsigned char buf[64];
    unsigned char type = 0;
    uint32_t nId = 0;
    uint32_t nLen = 0;
    Probed poll =
        Call(m_module.getdata, buf, static_cast<uint32_t>(sizeof buf), &type, &nId, &nLen);
    EXPECT_EQ(poll.nMoved, 0) << "sh_getdata";
    EXPECT_EQ(poll.nResult, DEZ_GETDATA_NONE);

    Probed exit = Call(m_module.load_exit);
    m_bStarted = false;
    EXPECT_EQ(exit.nMoved, 0) << "sh_load_exit";
}

} // namespace
