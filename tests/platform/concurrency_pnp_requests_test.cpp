// Plug and Play and power requests from several threads at once: the managers serialise
// the requests to one device stack, while requests completed from the bus's own thread and
// power requests delivered from the power manager's worker cross threads safely.
#include "pnp_test_driver.h"

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace pnptest {
namespace {

using ConcurrentPnpTest = PnpStackTest;

TEST_F(ConcurrentPnpTest, RequestsToOneStackFromManyThreadsNeverOverlap) {
    Build();
    plat::SetBusCompletion(pdo, IRP_MJ_PNP, plat::BusCompletion::Pended);
    plat::SetBusCompletion(pdo, IRP_MJ_POWER, plat::BusCompletion::AtDispatchLevel);
    // Each request holds the bus for a moment; a second one arriving meanwhile would mean
    // the manager let two requests to the stack overlap.
    std::atomic<int> inside{0};
    std::atomic<int> overlaps{0};
    std::atomic<int> reached{0};
    plat::SetBusRequestHook(pdo, [&](PDEVICE_OBJECT, PIRP) {
        if (inside.fetch_add(1) != 0) overlaps.fetch_add(1);
        reached.fetch_add(1);
        std::this_thread::yield();
        inside.fetch_sub(1);
    });
    constexpr int kThreads = 4;
    constexpr int kRounds = 50;
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kRounds; ++i) {
                NTSTATUS status;
                switch ((t + i) % 3) {
                case 0:
                    status = plat::PnpSend(pdo, IRP_MN_QUERY_STOP_DEVICE);
                    break;
                case 1:
                    status = plat::PnpQueryCapabilities(pdo, 1, nullptr);
                    break;
                default:
                    status = plat::PowerSendDevice(pdo, IRP_MN_SET_POWER, i % 2 ? PowerDeviceD3 : PowerDeviceD0);
                    break;
                }
                if (status != STATUS_SUCCESS) failures.fetch_add(1);
            }
        });
    }
    for (std::thread &th : threads) th.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(overlaps.load(), 0);
    EXPECT_EQ(reached.load(), kThreads * kRounds);
    EXPECT_EQ(seen.pnpMinors.size(), size_t(kThreads * kRounds) - seen.powerDispatchIrqls.size());
    plat::SetBusRequestHook(pdo, nullptr);
}

TEST_F(ConcurrentPnpTest, SystemCascadesOnSeparateStacksRunSideBySide) {
    Build();
    PDEVICE_OBJECT second = plat::CreateBusPdo(nullptr, nullptr, nullptr);
    ASSERT_EQ(plat::PnpAddDevice(driver, second), STATUS_SUCCESS);
    plat::SetBusCompletion(pdo, IRP_MJ_POWER, plat::BusCompletion::Pended);
    plat::SetBusCompletion(second, IRP_MJ_POWER, plat::BusCompletion::AtDispatchLevel);
    std::atomic<int> failures{0};
    auto cycle = [&](PDEVICE_OBJECT target) {
        for (int i = 0; i < 40; ++i) {
            if (plat::PowerSendSystem(target, IRP_MN_SET_POWER, PowerSystemSleeping3) != STATUS_SUCCESS) failures++;
            if (plat::PowerSendSystem(target, IRP_MN_SET_POWER, PowerSystemWorking) != STATUS_SUCCESS) failures++;
        }
    };
    std::thread a(cycle, pdo);
    std::thread b(cycle, second);
    a.join();
    b.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(plat::BusRequestLog(pdo).size(), 160u);
    EXPECT_EQ(plat::BusRequestLog(second).size(), 160u);
    EXPECT_EQ(plat::PnpRemoveDevice(second), STATUS_SUCCESS);
    plat::DeleteBusPdo(second);
}

TEST_F(ConcurrentPnpTest, APowerRequestWaitsForItsOwnCascadeOnlyNotForOtherStacks) {
    Build();
    PDEVICE_OBJECT other = plat::CreateBusPdo(nullptr, nullptr, nullptr);
    ASSERT_EQ(plat::PnpAddDevice(driver, other), STATUS_SUCCESS);
    // The other stack's bus holds its request until the test lets it go.
    std::mutex gate;
    std::condition_variable opened;
    bool held = false;
    bool release = false;
    plat::SetBusRequestHook(other, [&](PDEVICE_OBJECT, PIRP) {
        std::unique_lock<std::mutex> g(gate);
        held = true;
        opened.notify_all();
        opened.wait(g, [&] { return release; });
    });
    NTSTATUS otherStatus = STATUS_PENDING;
    std::thread blocked([&] { otherStatus = plat::PowerSendDevice(other, IRP_MN_SET_POWER, PowerDeviceD2); });
    {
        std::unique_lock<std::mutex> g(gate);
        opened.wait(g, [&] { return held; });
    }
    EXPECT_EQ(plat::PowerSendSystem(pdo, IRP_MN_SET_POWER, PowerSystemSleeping3), STATUS_SUCCESS);
    EXPECT_EQ(plat::BusRequestLog(pdo).size(), 2u);
    {
        std::lock_guard<std::mutex> g(gate);
        release = true;
    }
    opened.notify_all();
    blocked.join();
    EXPECT_EQ(otherStatus, STATUS_SUCCESS);
    plat::SetBusRequestHook(other, nullptr);
    EXPECT_EQ(plat::PnpRemoveDevice(other), STATUS_SUCCESS);
    plat::DeleteBusPdo(other);
}

}  // namespace
}  // namespace pnptest
