// System work items: ExQueueWorkItem hands a WORK_QUEUE_ITEM to the worker thread, which
// runs its routine at PASSIVE_LEVEL, in queue order, on behalf of the driver that queued
// it. An item may be queued again only after its routine has started.
#include "kernel_internal.h"

#include <condition_variable>
#include <deque>
#include <thread>

namespace plat {
namespace {

struct Item {
    PWORK_QUEUE_ITEM item;
    PWORKER_THREAD_ROUTINE routine;
    PVOID parameter;
    PDRIVER_OBJECT owner;
};

std::mutex gWorkLock;
std::condition_variable &gWorkCv = *new std::condition_variable;
std::deque<Item> &gWork = *new std::deque<Item>;
PDRIVER_OBJECT gRunningOwner = nullptr;
bool gBusy = false;
bool gStopWorker = false;
std::thread &gWorker = *new std::thread;

void WorkerMain()
{
    detail::ThreadState &t = detail::Thread();
    t.machineThread = true;
    for (;;) {
        Item item;
        {
            std::unique_lock<std::mutex> lock(gWorkLock);
            gWorkCv.wait(lock, [] { return gStopWorker || !gWork.empty(); });
            if (gWork.empty()) return;  // stopping, nothing left
            item = gWork.front();
            gWork.pop_front();
            gBusy = true;
            gRunningOwner = item.owner;
        }
        std::size_t locks = t.heldLocks.size();
        {
            DriverScope scope(item.owner);
            item.routine(item.parameter);
        }
        if (t.irql != PASSIVE_LEVEL) {
            detail::Report(rule::IrqlNotRestored, "work item routine",
                           "entered at PASSIVE_LEVEL, returned at " + detail::IrqlName(t.irql));
            t.irql = PASSIVE_LEVEL;
        }
        if (t.heldLocks.size() != locks)
            detail::Report(rule::SpinLockHeldOnReturn, "work item routine", "returned holding a spin lock");
        {
            std::lock_guard<std::mutex> guard(gWorkLock);
            gBusy = false;
            gRunningOwner = nullptr;
        }
        gWorkCv.notify_all();
    }
}

}  // namespace

void FlushWorkItems()
{
    std::unique_lock<std::mutex> lock(gWorkLock);
    gWorkCv.wait(lock, [] { return gWork.empty() && !gBusy; });
}

namespace detail {

std::size_t WorkItemsOwnedBy(PDRIVER_OBJECT driver)
{
    std::lock_guard<std::mutex> guard(gWorkLock);
    std::size_t n = (gBusy && gRunningOwner == driver) ? 1 : 0;
    for (const Item &i : gWork)
        if (i.owner == driver) ++n;
    return n;
}

void QueueSystemWork(PWORKER_THREAD_ROUTINE routine, PVOID parameter)
{
    std::lock_guard<std::mutex> guard(gWorkLock);
    gWork.push_back(Item{nullptr, routine, parameter, nullptr});
    if (!gWorker.joinable()) gWorker = std::thread(WorkerMain);
    gWorkCv.notify_all();
}

void ResetWorkQueue()
{
    {
        std::lock_guard<std::mutex> guard(gWorkLock);
        gWork.clear();  // items not yet started are dropped with their machine
        gStopWorker = true;
    }
    gWorkCv.notify_all();
    if (gWorker.joinable()) gWorker.join();
    std::lock_guard<std::mutex> guard(gWorkLock);
    gStopWorker = false;
    gBusy = false;
}

}  // namespace detail
}  // namespace plat

using namespace plat;
using namespace plat::detail;

extern "C" {

// Queues a work item (at or below DISPATCH_LEVEL). The item must not be queued already.
VOID NTAPI ExQueueWorkItem(PWORK_QUEUE_ITEM WorkItem, WORK_QUEUE_TYPE QueueType)
{
    (void)QueueType;
    if (Thread().irql > DISPATCH_LEVEL)
        Report(rule::RoutineAboveLimit, "ExQueueWorkItem", "called at " + IrqlName(Thread().irql));
    std::lock_guard<std::mutex> guard(gWorkLock);
    for (const Item &i : gWork) {
        if (i.item == WorkItem) {
            Report(rule::WorkItemRequeued, "ExQueueWorkItem",
                   "work item " + Hex(reinterpret_cast<ULONG_PTR>(WorkItem)) + " is queued already");
            return;
        }
    }
    gWork.push_back(Item{WorkItem, WorkItem->WorkerRoutine, WorkItem->Parameter, CurrentDriver()});
    if (!gWorker.joinable()) gWorker = std::thread(WorkerMain);
    gWorkCv.notify_all();
}

}  // extern "C"
