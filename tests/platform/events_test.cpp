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
}

// A signal landing on the waiting thread (SIGTERM does, on the monitoring
// thread) must not end the wait as if the event were set.
TEST(Events, SignalsDoNotEndAWait) {
    struct sigaction sa {};
    sa.sa_handler = NoOp;  // no SA_RESTART: poll() sees EINTR
    sigemptyset(&sa.sa_mask);
    ASSERT_EQ(0, sigaction(SIGUSR1, &sa, nullptr));
    EventGuard e;
    std::atomic<bool> waiting{false};
    std::atomic<DWORD> result{12345};
    pthread_t waiter{};
    std::thread t([&] {
        waiter = pthread_self();
        waiting = true;
        result = WaitForSingleObject(e.h, 400);
    });
    while (!waiting) std::this_thread::yield();
    for (int i = 0; i < 10; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        pthread_kill(waiter, SIGUSR1);
    }
    t.join();
    EXPECT_EQ(WAIT_TIMEOUT, result.load()) << "interrupted waits must keep waiting, then time out";

    std::thread t2([&] { result = WaitForSingleObject(e.h, INFINITE); });
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    pthread_kill(t2.native_handle(), SIGUSR1);
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    SetEvent(e.h);
    t2.join();
    EXPECT_EQ(WAIT_OBJECT_0, result.load());
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
