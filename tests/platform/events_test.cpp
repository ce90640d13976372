// Manual-reset events and the waits the service relies on.
#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "NTwin32.h"
#include "TestSupport.h"

namespace {

struct EventGuard {
    HANDLE h;
    explicit EventGuard(const char *name = nullptr) : h(CreateEvent(nullptr, 1, 0, name)) {}
    ~EventGuard() { (void)CloseHandle(h); }
};

void NoOp(int) {}

}  // namespace

TEST(Events, ManualResetStaysSignalledUntilReset) {
    EventGuard e;
    ASSERT_NE(nullptr, e.h);
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(e.h, 0));
    ASSERT_TRUE(SetEvent(e.h));
    ASSERT_TRUE(SetEvent(e.h));  // twice is still one signalled state
    for (int i = 0; i < 3; ++i) EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(e.h, 0));
    ASSERT_TRUE(ResetEvent(e.h));
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(e.h, 20));
}

TEST(Events, WaitForMultipleReturnsTheIndexOfTheSignalledOne) {
    EventGuard a, b;
    HANDLE both[2] = {a.h, b.h};
    EXPECT_EQ(WAIT_TIMEOUT, WaitForMultipleObjects(2, both, 0, 10));
    SetEvent(b.h);
    EXPECT_EQ(WAIT_OBJECT_0 + 1, WaitForMultipleObjects(2, both, 0, INFINITE));
    SetEvent(a.h);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForMultipleObjects(2, both, 0, INFINITE));
    HANDLE withNull[2] = {a.h, nullptr};
    EXPECT_EQ(WAIT_FAILED, WaitForMultipleObjects(2, withNull, 0, 0));
}

TEST(Events, SetFromAnotherThreadWakesAnEndlessWait) {
    EventGuard e;
    std::thread t([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        SetEvent(e.h);
    });
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(e.h, INFINITE));
    t.join();
    // The main thread's wait: stop event and thread-exit event, no time-out.
    EventGuard stop, exited;
    HANDLE both[2] = {stop.h, exited.h};
    std::thread t2([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        SetEvent(exited.h);
    });
    EXPECT_EQ(WAIT_OBJECT_0 + 1, WaitForMultipleObjects(2, both, 0, INFINITE));
    t2.join();
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(stop.h, 0)) << "only the set event is signalled";
}

// A signal landing on the waiting thread (SIGTERM does, on the monitoring
// thread) must not end the wait, neither as a time-out nor as "signalled".
TEST(Events, SignalsDoNotEndAWait) {
    struct sigaction sa {};
    sa.sa_handler = NoOp;  // no SA_RESTART: poll() sees EINTR
    sigemptyset(&sa.sa_mask);
    ASSERT_EQ(0, sigaction(SIGUSR1, &sa, nullptr));
    EventGuard e;
    struct Case {
        DWORD dwTimeout;
        bool bSet;  // set the event once the signals are over
        DWORD dwExpected;
    } cases[] = {{1000, false, WAIT_TIMEOUT}, {60000, true, WAIT_OBJECT_0}, {INFINITE, true, WAIT_OBJECT_0}};
    for (const auto &c : cases) {
        ResetEvent(e.h);
        std::atomic<bool> bStarted{false}, bDone{false};
        std::atomic<DWORD> result{12345};
        std::thread t([&] {
            bStarted = true;
            result = WaitForSingleObject(e.h, c.dwTimeout);
            bDone = true;
        });
        while (!bStarted) std::this_thread::yield();
        for (int i = 0; i < 10; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            pthread_kill(t.native_handle(), SIGUSR1);
        }
        // 100 ms of signals against a wait of at least a second: still waiting.
        EXPECT_FALSE(bDone.load()) << "a signal ended a wait of " << c.dwTimeout << " ms, result " << result.load();
        if (c.bSet) SetEvent(e.h);
        t.join();
        EXPECT_EQ(c.dwExpected, result.load()) << c.dwTimeout;
    }
}

TEST(Events, NamedEventsAreFoundByNameAndOutliveOneClose) {
    EventGuard e("1234_Server_Stop");
    HANDLE found = OpenEvent(0, 0, "1234_Server_Stop");
    ASSERT_EQ(e.h, found);
    EXPECT_EQ(nullptr, OpenEvent(0, 0, "no such event"));
    ASSERT_TRUE(CloseHandle(found));
    SetEvent(e.h);  // still alive: one reference left
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(e.h, 0));
    // A joined thread's id passed to CloseHandle is accepted and ignored.
    EXPECT_TRUE(CloseHandle(reinterpret_cast<HANDLE>(uintptr_t(0x7f00deadbeef))));
}

TEST(Events, LongTimeoutsAreAcceptedAndAutoResetIsRefused) {
    EventGuard e;
    std::thread t([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        SetEvent(e.h);
    });
    // Larger than poll()'s int: must not wrap into an immediate time-out.
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(e.h, 0xFFFFFFFEu));
    t.join();
    EXPECT_EQ(nullptr, CreateEvent(nullptr, 0, 0, nullptr));
    EXPECT_NE(0u, GetLastError());
}
