// Test fixture for the driver's frame: entry, device creation, resources, Plug and Play
// and power. It reaches the driver only the way the platform does: the Plug and Play
// manager stand-in loads Tq4815x, adds the card's bus device, starts it with the resource
// lists of a layout, sends it Plug and Play and power requests, and removes it; user-mode
// requests go through the I/O manager's file operations. Every verifier report is
// collected (none is expected unless a test says so), and at the end no pool block
// tagged 'Wdm ' may be left.
#ifndef TQ_TESTS_DRIVER_FRAME_FIXTURE_H
#define TQ_TESTS_DRIVER_FRAME_FIXTURE_H

#include <gtest/gtest.h>
#include <plat/hw.h>
#include <plat/kernel.h>
#include <plat/pnp.h>
#include <plat/user_io.h>
#include <plat/verifier.h>

#include "driver.h"
#include "sim/machine.h"
#include "sim/resource_layout.h"
#include "sim/resource_lists.h"
#include "tq4815_ioctl.h"
#include "support/kept_references.h"

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace frame {

inline constexpr ULONG kWdmTag = 0x206D6457;  // 'Wdm '
inline constexpr NTSTATUS kBusDefault = static_cast<NTSTATUS>(0x7FFFFFFE);

inline sim::ResourceLayout Layout(const char *name)
{
    auto layout = sim::ResourceLayout::Named(name);
    if (!layout) {
        ADD_FAILURE() << "no resource layout named " << name;
        return sim::ResourceLayout::Default();
    }
    return *layout;
}


// A request sent straight to the top of a device stack, outside the managers (which
// serialise their requests with a removal in progress): the test builds it as the
// platform would and captures how it completes.
struct DirectIrp {
    std::atomic<bool> completed{false};
    NTSTATUS status = STATUS_PENDING;
    ULONG_PTR information = 0xDEAD;
};

inline NTSTATUS NTAPI DirectIrpDone(PDEVICE_OBJECT, PIRP irp, PVOID context)
{
    auto *record = static_cast<DirectIrp *>(context);
    record->status = irp->IoStatus.Status;
    record->information = irp->IoStatus.Information;
    IoFreeIrp(irp);
    record->completed.store(true);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Sends a PnP or power request of `minor` to `device` and returns what the dispatch
// routine returned; `record` tells how it completed. Power requests carry `type`/`state`.
inline NTSTATUS SendDirect(PDEVICE_OBJECT device, UCHAR major, UCHAR minor, DirectIrp *record,
                           POWER_STATE_TYPE type = SystemPowerState, LONG state = PowerSystemWorking)
{
    PIRP irp = IoAllocateIrp(device->StackSize + 1, FALSE);
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    irp->IoStatus.Information = 0x5A5A;
    // The first location belongs to the test, as the sender; the next is the device's.
    IoSetNextIrpStackLocation(irp);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = major;
    next->MinorFunction = minor;
    if (major == IRP_MJ_POWER) {
        next->Parameters.Power.Type = type;
        if (type == SystemPowerState)
            next->Parameters.Power.State.SystemState = static_cast<SYSTEM_POWER_STATE>(state);
        else
            next->Parameters.Power.State.DeviceState = static_cast<DEVICE_POWER_STATE>(state);
    }
    IoSetCompletionRoutine(irp, DirectIrpDone, record, TRUE, TRUE, TRUE);
    return major == IRP_MJ_POWER ? PoCallDriver(device, irp) : IoCallDriver(device, irp);
}

// Waits (host time, generous) until `done` holds; false when it never did.
template <typename F>
bool WaitUntil(F done, int seconds = 20)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

class FrameTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        plat::ResetMachine();
        previousHandler_ = plat::SetVerifierHandler([this](const plat::VerifierViolation &v) {
            std::lock_guard<std::mutex> guard(violationsLock_);
            violations_.push_back(v);
        });
    }

    void TearDown() override
    {
        Shutdown();
        {
            std::lock_guard<std::mutex> guard(violationsLock_);
            for (const plat::VerifierViolation &v : violations_) {
                if (!expectViolations_)
                    ADD_FAILURE() << "verifier: " << v.rule << " in " << v.routine << ": " << v.detail;
            }
        }
        plat::SetVerifierHandler(previousHandler_);
        plat::ResetMachine();
    }

    // ---- Loading, adding, starting -------------------------------------------------------
    // Boots the simulated machine: the card with `layout` on the bus, its PDO, and the
    // driver loaded through the Plug and Play manager, added and started as asked.
    void BootMachine(const sim::ResourceLayout &layout, UCHAR wdmMajor, UCHAR wdmMinor, bool add, bool start,
                     plat::ClockMode clock = plat::ClockMode::Manual)
    {
        if (machine_)
            Shutdown();
        sim::MachineOptions options;
        options.clock = clock;
        options.config.wdmMajor = wdmMajor;
        options.config.wdmMinor = wdmMinor;
        options.layout = layout;
        options.driverEntry = DriverEntry;
        options.addDevice = add;
        options.startDevice = start;
        std::string error;
        machine_ = sim::Machine::Boot(options, error);
        ASSERT_NE(machine_, nullptr) << error;
        pdo_ = machine_->Pdo();
        driver_ = machine_->Driver();
    }

    // Loads the driver on a machine whose card has the default layout, adds nothing.
    NTSTATUS Load(UCHAR wdmMajor = 1, UCHAR wdmMinor = 0x10)
    {
        BootMachine(sim::ResourceLayout::Default(), wdmMajor, wdmMinor, false, false);
        return machine_ ? machine_->LoadStatus() : STATUS_UNSUCCESSFUL;
    }
    // Loads the driver with the card on `layout`, without adding the device.
    void Plug(const sim::ResourceLayout &layout, UCHAR wdmMinor = 0x10)
    {
        BootMachine(layout, 1, wdmMinor, false, false);
        ASSERT_EQ(machine_->LoadStatus(), STATUS_SUCCESS);
    }
    // Moves the card to `layout`: the next start-device carries its lists.
    void Replug(const sim::ResourceLayout &layout) { machine_->ChangeLayout(layout); }

    NTSTATUS Add() { return plat::PnpAddDevice(driver_, pdo_); }
    NTSTATUS Start() { return plat::PnpStartDevice(pdo_); }

    // Loads the driver, plugs a card with `layout`, adds and starts it.
    void Boot(const char *layout = "default", UCHAR wdmMinor = 0x10,
              plat::ClockMode clock = plat::ClockMode::Manual)
    {
        BootMachine(Layout(layout), 1, wdmMinor, true, true, clock);
        ASSERT_EQ(machine_->LoadStatus(), STATUS_SUCCESS);
        ASSERT_EQ(machine_->AddStatus(), STATUS_SUCCESS);
        ASSERT_EQ(machine_->StartStatus(), STATUS_SUCCESS);
    }

    // Removes the device if it is still there, deletes the bus device, unloads the driver
    // (the verifier checks what it left) and checks that no 'Wdm ' pool is left.
    void Shutdown()
    {
        CloseAll();
        if (machine_) {
            if (Fdo() != nullptr) {
                plat::PowerWaitIdle();
                if (Dc()->RemoveLock.Removing == 0 && (OldWdm != 0 || Fdo()->ReferenceCount == 0))
                    ExpectNoKeptRemoveLockReferences(Dc());
                EXPECT_EQ(plat::PnpRemoveDevice(pdo_), STATUS_SUCCESS);
            }
            machine_->Shutdown();
            machine_.reset();
        }
        pdo_ = nullptr;
        driver_ = nullptr;
        EXPECT_EQ(plat::PoolBlocksOutstanding(kWdmTag), 0u);
    }

    sim::Card &CardModel() { return machine_->CardModel(); }

    PDEVICE_OBJECT Fdo() const { return pdo_ != nullptr ? pdo_->AttachedDevice : nullptr; }
    DeviceContext *Dc() const { return Fdo() != nullptr ? ContextOf(Fdo()) : nullptr; }

    // The waiting notification request's slot, read as the driver writes it.
    PIRP Slot() const { return static_cast<PIRP>(__atomic_load_n(&Dc()->EventIrpSlot, __ATOMIC_ACQUIRE)); }
    // Whether no request waits on the device's pending list (under its lock).
    bool PendingListEmpty() const
    {
        KIRQL irql = KfAcquireSpinLock(&Dc()->PendingLock);
        bool empty = IsListEmpty(&Dc()->PendingList) != FALSE;
        KfReleaseSpinLock(&Dc()->PendingLock, irql);
        return empty;
    }

    // ---- User-mode handles ---------------------------------------------------------------
    // Synchronous, as the library opens the device, unless a test needs a request of the
    // handle to stay pending while the handle is used or closed: a Windows program uses an
    // overlapped handle for that, and so do the tests.
    NTSTATUS Open(HANDLE *handle, plat::FileIo mode = plat::FileIo::Synchronous)
    {
        NTSTATUS status = plat::OpenDevicePath("\\\\.\\Tq4815x", handle, mode);
        if (NT_SUCCESS(status))
            handles_.push_back(*handle);
        return status;
    }
    HANDLE OpenOrFail(plat::FileIo mode = plat::FileIo::Synchronous)
    {
        HANDLE h = nullptr;
        EXPECT_EQ(Open(&h, mode), STATUS_SUCCESS);
        return h;
    }
    HANDLE OpenOverlappedOrFail() { return OpenOrFail(plat::FileIo::Overlapped); }
    void Close(HANDLE h)
    {
        for (auto it = handles_.begin(); it != handles_.end(); ++it) {
            if (*it == h) {
                handles_.erase(it);
                EXPECT_EQ(plat::CloseHandle(h), STATUS_SUCCESS);
                return;
            }
        }
        ADD_FAILURE() << "closing a handle the test did not open";
    }
    void CloseAll()
    {
        while (!handles_.empty())
            Close(handles_.back());
    }

    NTSTATUS Ioctl(HANDLE h, ULONG code, const void *in = nullptr, ULONG inLength = 0, void *out = nullptr,
                   ULONG outLength = 0, ULONG_PTR *information = nullptr)
    {
        ULONG_PTR info = 0;
        NTSTATUS status = plat::DeviceControl(h, code, const_cast<void *>(in), inLength, out, outLength, &info);
        if (information != nullptr)
            *information = info;
        return status;
    }

    // A board-level read that needs the board range: reading the digital inputs' port.
    NTSTATUS ReadBoardPort(HANDLE h, ULONG offset, UCHAR *value)
    {
        UCHAR record[8] = {};
        const USHORT port = static_cast<USHORT>(Dc()->BoardBase + offset);
        std::memcpy(record, &port, sizeof(port));
        NTSTATUS status = Ioctl(h, IOCTL_IN_BYTE, record, 2, record, 2);
        *value = record[0];
        return status;
    }

    // ---- Waiting notification requests ---------------------------------------------------
    // An IOCTL_WAIT_NOTIFY sent from a thread of its own; it blocks until the driver
    // completes it.
    struct Waiter {
        std::thread thread;
        std::atomic<bool> done{false};
        NTSTATUS status = STATUS_PENDING;
        ULONG value = 0;
        ULONG_PTR information = 0;
        HANDLE handle = nullptr;
    };
    // Starts a wait on `h`; with `mustQueue` it returns once the request is queued.
    std::unique_ptr<Waiter> StartWait(HANDLE h, bool mustQueue = true)
    {
        auto w = std::make_unique<Waiter>();
        Waiter *raw = w.get();
        raw->handle = h;
        DeviceContext *dc = Dc();
        raw->thread = std::thread([this, h, raw] {
            raw->status = Ioctl(h, IOCTL_WAIT_NOTIFY, nullptr, 0, &raw->value, sizeof(raw->value), &raw->information);
            raw->done.store(true);
        });
        if (mustQueue) {
            EXPECT_TRUE(WaitUntil([&] { return raw->done.load() || __atomic_load_n(&dc->EventIrpSlot, __ATOMIC_ACQUIRE) != nullptr; }));
        }
        return w;
    }
    // Joins the wait and returns the status it completed with. A wait the driver left
    // pending is reported and cancelled, so that the test ends instead of hanging.
    NTSTATUS FinishWait(std::unique_ptr<Waiter> &w)
    {
        if (!WaitUntil([&] { return w->done.load(); }, 10)) {
            ADD_FAILURE() << "the wait was left pending";
            // Through its handle, or, once the handle is closed, as the request in the slot.
            if (!NT_SUCCESS(plat::CancelFileIo(w->handle, true)) && Slot() != nullptr)
                IoCancelIrp(Slot());
        }
        w->thread.join();
        return w->status;
    }
    // A wait that is refused at once returns this status.
    // (A wait that gets queued instead is reported, released with a post, and gives
    // STATUS_PENDING.)
    NTSTATUS WaitRefusal(HANDLE h)
    {
        auto w = StartWait(h, true);
        if (!w->done.load() && !WaitUntil([&] { return w->done.load(); }, 1)) {
            ADD_FAILURE() << "the wait was queued, not refused";
            ULONG value = 0;
            Ioctl(h, IOCTL_POST_NOTIFY, &value, sizeof(value));
            FinishWait(w);
            return STATUS_PENDING;
        }
        return FinishWait(w);
    }

    // ---- Verifier ------------------------------------------------------------------------
    size_t ViolationCount()
    {
        std::lock_guard<std::mutex> guard(violationsLock_);
        return violations_.size();
    }
    std::vector<plat::VerifierViolation> TakeViolations()
    {
        std::lock_guard<std::mutex> guard(violationsLock_);
        std::vector<plat::VerifierViolation> v;
        v.swap(violations_);
        return v;
    }

    // ---- Bus log helpers -----------------------------------------------------------------
    std::vector<plat::BusRequest> BusLog(UCHAR major)
    {
        std::vector<plat::BusRequest> out;
        for (const plat::BusRequest &r : plat::BusRequestLog(pdo_)) {
            if (r.majorFunction == major)
                out.push_back(r);
        }
        return out;
    }

    std::unique_ptr<sim::Machine> machine_;
    PDRIVER_OBJECT driver_ = nullptr;
    PDEVICE_OBJECT pdo_ = nullptr;
    std::vector<HANDLE> handles_;
    bool expectViolations_ = false;

private:
    plat::VerifierHandler previousHandler_;
    std::mutex violationsLock_;
    std::vector<plat::VerifierViolation> violations_;
};

// Cycle count of the long runs: FRAME_TORTURE_CYCLES in the environment (the full run
// uses 1000), else the short default.
inline int TortureCycles(int shortDefault)
{
    if (const char *env = std::getenv("FRAME_TORTURE_CYCLES")) {
        int n = std::atoi(env);
        if (n > 0)
            return n;
    }
    return shortDefault;
}

}  // namespace frame

#endif
