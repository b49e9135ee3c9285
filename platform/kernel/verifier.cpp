// The verifier's reporting: the handler, the count, the unload check that names what a
// driver left behind, and the per-thread state every check reads.
#include "kernel_internal.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <type_traits>

namespace plat {
namespace {

std::mutex gHandlerLock;
VerifierHandler &gHandler = *new VerifierHandler;
std::atomic<std::uint64_t> gViolations{0};

void DefaultHandler(const VerifierViolation &v)
{
    std::fprintf(stderr, "\n*** kernel verifier: rule %s broken by %s: %s\n", v.rule.c_str(), v.routine.c_str(),
                 v.detail.c_str());
    std::fflush(stderr);
    std::abort();
}

}  // namespace

VerifierHandler SetVerifierHandler(VerifierHandler handler)
{
    std::lock_guard<std::mutex> guard(gHandlerLock);
    VerifierHandler previous = std::move(gHandler);
    gHandler = std::move(handler);
    return previous;
}

void VerifierReport(const char *rule, const char *routine, const std::string &detail)
{
    gViolations.fetch_add(1);
    VerifierViolation violation{rule, routine, detail};
    VerifierHandler handler;
    {
        std::lock_guard<std::mutex> guard(gHandlerLock);
        handler = gHandler;
    }
    if (handler)
        handler(violation);
    else
        DefaultHandler(violation);
}

std::uint64_t VerifierViolationCount() { return gViolations.load(); }

// Everything a driver still owns after its DriverUnload returned is a leak: the real
// kernel would keep the memory, names and callbacks of an image that is gone.
void VerifierCheckUnload(PDRIVER_OBJECT driver)
{
    std::string detail;
    if (std::size_t n = detail::PoolBlocksOwnedBy(driver, &detail))
        VerifierReport(rule::UnloadLeftPool, "DriverUnload", std::to_string(n) + " pool block(s) left:" + detail);
    detail.clear();
    if (std::size_t n = detail::DevicesOwnedBy(driver, &detail))
        VerifierReport(rule::UnloadLeftDevices, "DriverUnload", std::to_string(n) + " device object(s) left:" + detail);
    detail.clear();
    if (std::size_t n = detail::LinksOwnedBy(driver, &detail))
        VerifierReport(rule::UnloadLeftLinks, "DriverUnload", std::to_string(n) + " symbolic link(s) left:" + detail);
    detail.clear();
    if (std::size_t n = detail::DpcsQueuedBy(driver, &detail))
        VerifierReport(rule::UnloadLeftDpcs, "DriverUnload", std::to_string(n) + " DPC(s) still queued" + detail);
    if (std::size_t n = detail::WorkItemsOwnedBy(driver))
        VerifierReport(rule::UnloadLeftWorkItems, "DriverUnload",
                       std::to_string(n) + " work item(s) queued or running");
    if (std::size_t n = detail::InterruptsConnectedBy(driver))
        VerifierReport(rule::UnloadLeftInterrupts, "DriverUnload",
                       std::to_string(n) + " interrupt object(s) still connected");
}

namespace detail {

static_assert(std::is_trivially_destructible_v<ThreadState>, "per-thread state must outlive thread-local destructors");

__thread ThreadState *tThreadState = nullptr;

ThreadState &ThreadSlow()
{
    thread_local ThreadState state;  // trivially destructible: valid until the thread is gone
    tThreadState = &state;
    return state;
}

std::string Hex(std::uint64_t value)
{
    char text[32];
    std::snprintf(text, sizeof text, "0x%llX", static_cast<unsigned long long>(value));
    return text;
}

std::string IrqlName(KIRQL irql)
{
    switch (irql) {
    case PASSIVE_LEVEL: return "PASSIVE_LEVEL";
    case APC_LEVEL: return "APC_LEVEL";
    case DISPATCH_LEVEL: return "DISPATCH_LEVEL";
    case HIGH_LEVEL: return "HIGH_LEVEL";
    default: return "IRQL " + std::to_string(irql);
    }
}

void Report(const char *rule, const char *routine, const std::string &detail)
{
    VerifierReport(rule, routine, detail);
}

void ResetVerifierCount() { gViolations.store(0); }

}  // namespace detail

PDRIVER_OBJECT CurrentDriver() { return detail::Thread().currentDriver; }

DriverScope::DriverScope(PDRIVER_OBJECT driver) : previous_(detail::Thread().currentDriver)
{
    detail::Thread().currentDriver = driver;
}

DriverScope::~DriverScope() { detail::Thread().currentDriver = previous_; }

}  // namespace plat
