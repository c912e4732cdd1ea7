#include "ui/UiBridge.h"

#include <gtest/gtest.h>

#include <QThread>
#include <atomic>
#include <chrono>

#include "ui/AppTestSupport.h"

namespace {

using std::chrono::milliseconds;

class UiBridgeTest : public AppTest {
  protected:
    std::shared_ptr<UiBridge> bridge_ = std::make_shared<UiBridge>();
};

TEST_F(UiBridgeTest, WorkFromAnotherThreadRunsOnTheUiThreadWhileTheCallerWaits) {
    QThread* const uiThread = QThread::currentThread();
    std::atomic<bool> ranOnUi{false};
    std::atomic<bool> doneBeforeReturn{false};
    bool returned = false;
    std::optional<int> value;
    TestThread worker([&] {
        bool finished = false;
        returned = bridge_->RunAndWait([&] {
            ranOnUi = QThread::currentThread() == uiThread;
            finished = true;
        });
        doneBeforeReturn = finished;
        value = bridge_->CallAndWait<int>([] { return 42; });
    });
    ASSERT_TRUE(worker.JoinPumping());
    EXPECT_TRUE(returned);
    EXPECT_TRUE(ranOnUi);
    EXPECT_TRUE(doneBeforeReturn);
    EXPECT_EQ(value, 42);
}

TEST_F(UiBridgeTest, TheUiThreadRunsItsOwnWorkDirectly) {
    // A blocking queued call from the UI thread to itself would never return.
    int runs = 0;
    EXPECT_TRUE(bridge_->RunAndWait([&] { ++runs; }));
    EXPECT_EQ(runs, 1);
    EXPECT_EQ(bridge_->CallAndWait<int>([] { return 7; }), 7);
}

TEST_F(UiBridgeTest, PostNeverWaitsForTheUiThread) {
    std::atomic<int> seen{0};
    TestThread worker([&] { bridge_->Post([&] { seen = 5; }); });
    // The UI thread handles no events here: the poster must return all the same.
    ASSERT_TRUE(worker.JoinWithoutPumping(milliseconds(2000)));
    EXPECT_EQ(seen, 0);
    EXPECT_TRUE(PumpUntil([&] { return seen == 5; }));
}

TEST_F(UiBridgeTest, FenceReleasesACallerAlreadyWaitingAndItsWorkNeverRuns) {
    std::atomic<bool> ran{false};
    std::atomic<bool> entered{false};
    bool returned = true;
    TestThread worker([&] {
        entered = true;
        returned = bridge_->RunAndWait([&] { ran = true; });
    });
    // Give the worker time to queue its call while the UI thread is busy.
    while (!entered) {
        std::this_thread::sleep_for(milliseconds(1));
    }
    std::this_thread::sleep_for(milliseconds(50));
    bridge_->Fence();
    ASSERT_TRUE(worker.JoinWithoutPumping(milliseconds(2000)));
    EXPECT_FALSE(returned);
    // The call's event is still queued; delivering it now must not run the work.
    PumpUntil([] { return false; }, milliseconds(50));
    EXPECT_FALSE(ran);
}

TEST_F(UiBridgeTest, NothingRunsOnceFenced) {
    std::atomic<int> runs{0};
    bridge_->Post([&] { ++runs; });  // queued before the fence, delivered after it
    bridge_->Fence();
    EXPECT_TRUE(bridge_->IsFenced());
    EXPECT_FALSE(bridge_->RunAndWait([&] { ++runs; }));
    EXPECT_EQ(bridge_->CallAndWait<int>([] { return 1; }), std::nullopt);
    bool workerReturned = true;
    TestThread worker([&] {
        workerReturned = bridge_->RunAndWait([&] { ++runs; });
        bridge_->Post([&] { ++runs; });
    });
    ASSERT_TRUE(worker.JoinWithoutPumping(milliseconds(2000)));
    EXPECT_FALSE(workerReturned);
    PumpUntil([] { return false; }, milliseconds(50));
    EXPECT_EQ(runs, 0);
}

TEST_F(UiBridgeTest, ManyThreadsCallingWhileTheBridgeIsFencedAllReturn) {
    std::atomic<bool> stop{false};
    std::atomic<int> calls{0};
    std::vector<std::unique_ptr<TestThread>> workers;
    for (int i = 0; i < 4; ++i) {
        workers.push_back(std::make_unique<TestThread>([&] {
            while (!stop) {
                bridge_->RunAndWait([&] { ++calls; });
                bridge_->Post([&] { ++calls; });
            }
        }));
    }
    ASSERT_TRUE(PumpUntil([&] { return calls > 200; }));
    bridge_->Fence();
    const int atFence = calls;
    PumpUntil([] { return false; }, milliseconds(50));
    EXPECT_EQ(calls, atFence);
    stop = true;
    for (auto& worker : workers) {
        EXPECT_TRUE(worker->JoinWithoutPumping(milliseconds(2000)));
    }
}

}  // namespace
