// Random races on the pending notification request, in real time. Each round queues a
// wait on the waiter's handle (or, one round in four, sends it while the rivals already
// run, so that a cancellation can land before the request reaches the driver or while it
// is being queued) and lets one to three rivals go at once, each after a random delay of a
// few microseconds: a cancellation of the waiter's I/O, a post, the close of the waiter's
// handle, an abort of every waiting request with a reject status (as the removal and sleep
// paths do), or a second wait on the waiter's or another handle. Whatever is left waiting
// afterwards is released with posts. Every request must then have come back exactly once
// (the verifier reports a second completion) with a status its round allows, the values
// the waits received must be exactly those of the posts that succeeded, and the slot and
// the pending list must be empty.
//
// The rounds are seeded: TQ_RACE_SEED=<seed> replays the same choices (thread timing
// decides the rest). TQ_RACE_ROUNDS sets the number of rounds; TQ_ROBUST_LONG=1 runs
// 100,000; the default is a few hundred.
#include "frame_fixture.h"
#include "run_switches.h"

#include <iostream>
#include <map>
#include <random>

namespace frame {
namespace {

using runswitch::EnvNumber;

uint64_t Rounds()
{
    return EnvNumber("TQ_RACE_ROUNDS", runswitch::LongRun() ? 100000 : 300);
}

enum class Rival { Cancel, Post, Close, Reject, SecondWait, kKinds };

const char *Name(Rival r)
{
    switch (r) {
    case Rival::Cancel: return "cancel";
    case Rival::Post: return "post";
    case Rival::Close: return "close";
    case Rival::Reject: return "reject";
    case Rival::SecondWait: return "second wait";
    case Rival::kKinds: break;
    }
    return "?";
}

// Busy-waits `micros` microseconds of host time: a sleep would be far coarser than the
// windows these races aim at.
void Spin(unsigned micros)
{
    const auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(micros);
    while (std::chrono::steady_clock::now() < until) {
    }
}

class NotifyRaceCampaign : public FrameTest {
protected:
    void SetUp() override
    {
        FrameTest::SetUp();
        Boot("default", 0x10, plat::ClockMode::RealTime);
        // The waits' handles are overlapped: a second wait, a cancellation or a close meets
        // a wait still pending on them.
        poster_ = OpenOrFail();
        other_ = OpenOverlappedOrFail();
    }

    void TearDown() override
    {
        if (waiter_ != nullptr) {
            EXPECT_EQ(plat::CloseHandle(waiter_), STATUS_SUCCESS);
        }
        waiter_ = nullptr;
        FrameTest::TearDown();
    }

    // One IOCTL_WAIT_NOTIFY of the round.
    struct Wait {
        HANDLE handle = nullptr;
        bool first = false;
        std::atomic<bool> done{false};
        NTSTATUS status = STATUS_PENDING;
        ULONG value = 0;
        ULONG_PTR information = 0;
    };
    void SendWait(Wait &w)
    {
        w.status = Ioctl(w.handle, IOCTL_WAIT_NOTIFY, nullptr, 0, &w.value, sizeof(w.value), &w.information);
        w.done.store(true);
    }

    // A post of a value no other post of the run uses; the value is recorded when it succeeds.
    NTSTATUS Post()
    {
        const ULONG value = nextValue_.fetch_add(1);
        const NTSTATUS status = Ioctl(poster_, IOCTL_POST_NOTIFY, &value, sizeof(value));
        if (status == STATUS_SUCCESS) {
            std::lock_guard<std::mutex> guard(postedLock_);
            posted_[value] += 1;
        }
        return status;
    }

    void Round(std::mt19937_64 &random, uint64_t round);

    HANDLE poster_ = nullptr, other_ = nullptr, waiter_ = nullptr;
    std::atomic<ULONG> nextValue_{1};
    std::mutex postedLock_;
    std::map<ULONG, int> posted_;  // values of successful posts, not yet received
    std::map<std::string, uint64_t> tally_;
};

void NotifyRaceCampaign::Round(std::mt19937_64 &random, uint64_t round)
{
    if (waiter_ == nullptr) {
        ASSERT_EQ(plat::OpenDevicePath("\\\\.\\Tq4815x", &waiter_, plat::FileIo::Overlapped), STATUS_SUCCESS);
    }
    const HANDLE waiter = waiter_;

    // The round's choices, all drawn before any thread starts so that a seed replays them.
    const bool raceTheSend = random() % 4 == 0;
    std::vector<Rival> rivals;
    std::vector<unsigned> delays;
    const unsigned count = 1 + static_cast<unsigned>(random() % 3);
    bool closes = false, rejects = false;
    std::vector<HANDLE> secondTargets;
    for (unsigned i = 0; i < count; ++i) {
        Rival r = static_cast<Rival>(random() % static_cast<unsigned>(Rival::kKinds));
        if (r == Rival::Close && closes)
            r = Rival::Cancel;  // a handle is closed once
        closes = closes || r == Rival::Close;
        rejects = rejects || r == Rival::Reject;
        if (r == Rival::SecondWait)
            secondTargets.push_back(random() % 2 ? waiter : other_);
        rivals.push_back(r);
        delays.push_back(static_cast<unsigned>(random() % 40));
    }
    const unsigned firstDelay = static_cast<unsigned>(random() % 20);
    const NTSTATUS rejectStatus = random() % 2 ? STATUS_DEVICE_POWERED_OFF : STATUS_DELETE_PENDING;
    std::string label = "round " + std::to_string(round) + (raceTheSend ? ", racing the send:" : ":");
    for (Rival r : rivals)
        label += std::string(" ") + Name(r);
    SCOPED_TRACE(label);

    // Waits: the first on the waiter's handle, then one per second-wait rival.
    std::vector<std::unique_ptr<Wait>> waits;
    waits.push_back(std::make_unique<Wait>());
    waits[0]->handle = waiter;
    waits[0]->first = true;
    for (HANDLE target : secondTargets) {
        waits.push_back(std::make_unique<Wait>());
        waits.back()->handle = target;
    }

    std::atomic<unsigned> ready{0}, rivalsThrough{0};
    std::atomic<bool> go{false};
    auto gate = [&](unsigned delay) {
        ready.fetch_add(1);
        while (!go.load())
            std::this_thread::yield();
        Spin(delay);
    };

    std::vector<std::thread> threads;
    if (raceTheSend) {
        threads.emplace_back([&] {
            gate(firstDelay);
            SendWait(*waits[0]);
        });
    } else {
        threads.emplace_back([&] { SendWait(*waits[0]); });
        ASSERT_TRUE(WaitUntil([&] { return Slot() != nullptr || waits[0]->done.load(); }));
        ASSERT_FALSE(waits[0]->done.load()) << "the wait was not queued: " << std::hex << waits[0]->status;
    }
    std::vector<NTSTATUS> results(rivals.size(), STATUS_PENDING);
    size_t nextSecond = 1;
    for (size_t i = 0; i < rivals.size(); ++i) {
        Wait *second = rivals[i] == Rival::SecondWait ? waits[nextSecond++].get() : nullptr;
        threads.emplace_back([&, i, second] {
            gate(delays[i]);
            switch (rivals[i]) {
            case Rival::Cancel: results[i] = plat::CancelFileIo(waiter, true); break;
            case Rival::Post: results[i] = Post(); break;
            case Rival::Close: results[i] = plat::CloseHandle(waiter); break;
            case Rival::Reject:
                RejectPendingRequests(Dc(), rejectStatus);
                results[i] = STATUS_SUCCESS;
                break;
            case Rival::SecondWait: SendWait(*second); break;
            case Rival::kKinds: break;
            }
            rivalsThrough.fetch_add(1);
        });
    }
    const unsigned gated = static_cast<unsigned>(rivals.size()) + (raceTheSend ? 1 : 0);
    while (ready.load() < gated)
        std::this_thread::yield();
    go.store(true);

    // Once the rivals that do not wait are through, release whatever still waits with posts.
    const size_t waitingRivals = waits.size() - 1;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (rivalsThrough.load() + waitingRivals < rivals.size() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::yield();
    for (;;) {
        bool all = true;
        for (auto &w : waits)
            all = all && w->done.load();
        if (all)
            break;
        if (std::chrono::steady_clock::now() > deadline) {
            ADD_FAILURE() << "a wait never came back";
            AbortPendingRequests(Dc(), nullptr);
            break;
        }
        if (Slot() != nullptr && Post() == STATUS_SUCCESS)
            ++tally_["released by a post"];
        else
            std::this_thread::sleep_for(std::chrono::microseconds(50));
    }
    for (std::thread &t : threads)
        t.join();

    // Each rival's own answer.
    for (size_t i = 0; i < rivals.size(); ++i) {
        switch (rivals[i]) {
        case Rival::Cancel:
            // STATUS_NOT_FOUND: nothing of the waiter's was in flight; an invalid handle:
            // the close came first.
            EXPECT_TRUE(results[i] == STATUS_SUCCESS || results[i] == STATUS_NOT_FOUND ||
                        (closes && results[i] == STATUS_INVALID_HANDLE))
                << std::hex << results[i];
            break;
        case Rival::Post:
            EXPECT_TRUE(results[i] == STATUS_SUCCESS || results[i] == STATUS_UNSUCCESSFUL) << std::hex << results[i];
            ++tally_[results[i] == STATUS_SUCCESS ? "posts delivered" : "posts refused"];
            break;
        case Rival::Close: EXPECT_EQ(results[i], STATUS_SUCCESS); break;
        default: break;
        }
    }
    // Each wait's: completed once with a status the round allows.
    for (auto &w : waits) {
        const NTSTATUS s = w->status;
        if (s == STATUS_SUCCESS) {
            EXPECT_EQ(w->information, sizeof(ULONG));
            std::lock_guard<std::mutex> guard(postedLock_);
            auto it = posted_.find(w->value);
            if (it == posted_.end()) {
                ADD_FAILURE() << "a wait received " << w->value << ", which no successful post sent";
            } else if (--it->second == 0) {
                posted_.erase(it);
            }
            ++tally_["waits given a value"];
        } else if (s == STATUS_CANCELLED) {
            ++tally_["waits cancelled"];
        } else if (s == STATUS_UNSUCCESSFUL) {
            // Only a wait sent after another one can find the slot taken; the first wait is
            // that only when a second wait overtook its send.
            EXPECT_TRUE(!w->first || (raceTheSend && waits.size() > 1)) << "the first wait found the slot taken";
            ++tally_["waits refused, slot taken"];
        } else if (s == rejectStatus) {
            EXPECT_TRUE(rejects) << "refused with " << std::hex << s << " without a reject";
            ++tally_["waits refused, reject status"];
        } else if (s == STATUS_INVALID_HANDLE) {
            // The handle was closed before the request was sent.
            EXPECT_TRUE(closes && w->handle == waiter && (!w->first || raceTheSend));
            ++tally_["waits on a closed handle"];
        } else {
            ADD_FAILURE() << "a wait completed with 0x" << std::hex << s;
        }
    }
    {
        std::lock_guard<std::mutex> guard(postedLock_);
        EXPECT_TRUE(posted_.empty()) << posted_.size() << " successful posts whose value no wait received";
        posted_.clear();
    }
    EXPECT_EQ(Slot(), nullptr);
    EXPECT_TRUE(PendingListEmpty());
    EXPECT_EQ(ViolationCount(), 0u);
    InterlockedExchange(&Dc()->RejectStatus, 0);
    if (closes)
        waiter_ = nullptr;
    for (Rival r : rivals)
        ++tally_[std::string("rival: ") + Name(r)];
    if (raceTheSend)
        ++tally_["rounds racing the send"];
}

TEST_F(NotifyRaceCampaign, RandomCancelPostCloseRejectAndSecondWaitRacesCompleteEachRequestOnce)
{
    const uint64_t seed = EnvNumber("TQ_RACE_SEED", static_cast<uint64_t>(std::random_device{}()));
    const uint64_t rounds = Rounds();
    std::cout << "[ races ] TQ_RACE_SEED=" << seed << " rounds " << rounds << "\n";
    SCOPED_TRACE("TQ_RACE_SEED=" + std::to_string(seed));
    std::mt19937_64 random(seed);
    const auto began = std::chrono::steady_clock::now();
    uint64_t done = 0;
    for (; done < rounds && !HasFailure(); ++done)
        Round(random, done);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
    std::cout << "[ races ] " << done << " rounds in " << seconds << " s\n";
    for (const auto &[name, n] : tally_)
        std::cout << "[ races ]   " << name << ": " << n << "\n";
    EXPECT_EQ(done, rounds);
    // The campaign reached the outcomes it is there for.
    if (rounds >= 300) {
        EXPECT_GT(tally_["waits given a value"], 0u);
        EXPECT_GT(tally_["waits cancelled"], 0u);
        EXPECT_GT(tally_["posts refused"], 0u);
    }
    RecordProperty("rounds", static_cast<int>(done));
}

// A cancellation that lands while the wait is being queued. The I/O manager may cancel the
// request the moment its cancel routine is armed, and takes the device object for the cancel
// routine from the request's current stack location: the driver must have that location
// complete before it arms the routine. (It once pushed the location afterwards, so a
// cancellation in that window saw a location with no device object; ThreadSanitizer
// reports the unsynchronised access even when the timing does not crash.)
TEST_F(NotifyRaceCampaign, ACancellationRacingTheQueueingOfAWaitFindsTheRequestWhole)
{
    const int rounds = TortureCycles(200);
    int cancelled = 0;
    for (int i = 0; i < rounds && !HasFailure(); ++i) {
        Wait w;
        w.handle = other_;
        std::thread sender([&] { SendWait(w); });
        // Cancel as early as the request is in flight, and keep cancelling until it is back.
        while (!w.done.load())
            plat::CancelFileIo(other_, true);
        sender.join();
        if (w.status == STATUS_CANCELLED)
            ++cancelled;
        else
            ADD_FAILURE() << "the wait completed with 0x" << std::hex << w.status;
        EXPECT_EQ(Slot(), nullptr);
        EXPECT_TRUE(PendingListEmpty());
        EXPECT_EQ(ViolationCount(), 0u);
    }
    EXPECT_EQ(cancelled, rounds);
}

}  // namespace
}  // namespace frame
