// The simulated board's figures of the program's polling: the counts of
// accesses, status reads and received bytes, and the per-thread times that
// tell which thread polled and what it cost.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>

#include "board/board_io.h"
#include "board/pcie_library.h"
#include "include/PCIAccessDll.h"
#include "sim/poll_figures.h"
#include "sim/sim_control.h"
#include "tests/support/sim_mapping_fixture.h"
#include "uart/uart.h"

namespace {

using q7m::sim::PollFigures;

TEST(PollFiguresTest, ThePollerIsTheThreadWithTheMostStatusReads) {
  PollFigures f;
  f.StatusRead(10, 1'000, 50'000);
  f.StatusRead(20, 7'000, 51'000);
  f.StatusRead(20, 9'000, 53'000);
  f.StatusRead(10, 4'000, 60'000);
  f.StatusRead(20, 17'000, 58'000);
  ASSERT_EQ(f.ThreadCount(), 2u);
  EXPECT_EQ(f.StatusReads(), 5u);
  EXPECT_EQ(f.Thread(0).tid, 10);
  EXPECT_EQ(f.Thread(0).statusReads, 2u);
  EXPECT_EQ(f.Thread(0).CpuNs(), 3'000u);
  EXPECT_EQ(f.Thread(0).WallNs(), 10'000u);
  const auto poller = f.Poller();
  EXPECT_EQ(poller.tid, 20);
  EXPECT_EQ(poller.statusReads, 3u);
  EXPECT_EQ(poller.CpuNs(), 10'000u) << "first to last read, not the thread's whole life";
  EXPECT_EQ(poller.WallNs(), 7'000u);
  // Its longest gap is the second (5 us of wall time; the made-up CPU clock
  // says 8 us), kept with the CPU inside it and the time it ended.
  EXPECT_EQ(poller.maxGapNs, 5'000u);
  EXPECT_EQ(poller.maxGapCpuNs, 8'000u);
  EXPECT_EQ(poller.maxGapEndNs, 58'000u);
  EXPECT_EQ(f.Thread(0).maxGapNs, 10'000u) << "each thread's gaps are its own";

  // A thread that reads the status once has no span yet.
  PollFigures once;
  once.StatusRead(5, 123, 456);
  EXPECT_EQ(once.Poller().CpuNs(), 0u);
  EXPECT_EQ(once.Poller().WallNs(), 0u);
  EXPECT_EQ(PollFigures().Poller().statusReads, 0u) << "no reads, no poller";
}

TEST(PollFiguresTest, ThreadsBeyondTheRecordsAreCountedButNotAttributed) {
  PollFigures f;
  for (std::int64_t tid = 1; tid <= static_cast<std::int64_t>(PollFigures::kThreads); ++tid) {
    f.StatusRead(tid, 0, 0);
  }
  for (int i = 0; i < 5; ++i) f.StatusRead(1000, 100, 100);
  EXPECT_EQ(f.ThreadCount(), PollFigures::kThreads);
  EXPECT_EQ(f.StatusReads(), PollFigures::kThreads + 5);
  EXPECT_EQ(f.Poller().tid, 1) << "the reads of the untracked thread went nowhere";
  f.StatusRead(3, 2'000'000, 9'000'000);
  EXPECT_EQ(f.Poller().tid, 3);
}

TEST(PollFiguresTest, FieldsNameEveryFigureAndClearStartsAfresh) {
  PollFigures f;
  for (int i = 0; i < 7; ++i) f.CountAccess();
  f.CountRxByte();
  f.CountRxByte();
  f.StatusRead(42, 1'000'000, 5'000'000);
  f.StatusRead(42, 3'500'000, 9'000'000);
  f.StatusRead(43, 0, 0);
  EXPECT_EQ(f.Fields(),
            "accesses 7 status-reads 3 rx-bytes 2 poll-cpu-us 2500 poll-wall-us 4000 poll-tid 42 "
            "gap-us 4000 gap-cpu-us 2500 gap-end-us 9000");
  f.Clear();
  EXPECT_EQ(f.Fields(),
            "accesses 0 status-reads 0 rx-bytes 0 poll-cpu-us 0 poll-wall-us 0 poll-tid 0 "
            "gap-us 0 gap-cpu-us 0 gap-end-us 0");
  EXPECT_EQ(f.ThreadCount(), 0u);
}

// ---- The built library, driven by the program's board accessors ----

std::uint64_t ThreadCpuNs() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<std::uint64_t>(ts.tv_sec) * 1'000'000'000ULL +
         static_cast<std::uint64_t>(ts.tv_nsec);
}

// Uses the calling thread's CPU for `ns` of its own time.
void SpinCpu(std::uint64_t ns) {
  const std::uint64_t until = ThreadCpuNs() + ns;
  while (ThreadCpuNs() < until) {
  }
}

constexpr std::uint32_t kPort = 0x352;

class PollFiguresLibraryTest : public SimMappingTest {
 protected:
  SimPollFigures Figures() {
    SimPollFigures f{};
    Q7M_SYM(handle, SimGetPollFigures)(&f);
    return f;
  }
  SimPollThread Thread(std::size_t index) {
    SimPollThread t{};
    EXPECT_EQ(Q7M_SYM(handle, SimPollThreadGet)(index, &t), 0) << "no thread " << index;
    return t;
  }
};

TEST_F(PollFiguresLibraryTest, KnownAccessesGiveExactCounts) {
  BoardRegWrite(kPort, kUartDivLo, 0x3D);
  BoardRegWrite(kPort, kUartDivHi, 0x04);
  BoardRegWrite(kPort, kUartCtrl, 1);
  const std::string incoming = "abc";
  Q7M_SYM(handle, SimRxInject)
  (reinterpret_cast<const std::uint8_t*>(incoming.data()), incoming.size());
  EXPECT_EQ(BoardRegRead(kPort, kUartRxStatus), 3);  // status read 1
  BoardRegSelect(kPort, kUartRxData);
  std::string got;
  for (int i = 0; i < 3; ++i) got.push_back(static_cast<char>(BoardPortRead(kPort)));
  EXPECT_EQ(got, incoming);
  EXPECT_EQ(BoardRegRead(kPort, kUartRxStatus), 0);  // status read 2
  EXPECT_EQ(BoardPortRead(kPort), 0) << "status read 3: the index is still 5";
  BoardRegRead(kPort, kUartErrStatus);
  EXPECT_EQ(BoardPortRead(kPort + 1), kUartErrStatus) << "the index register is not the status";
  BoardPortWrite(0x2A4, 0);
  // The library's own read entry point is no access to the window.
  BoardRegSelect(kPort, kUartRxStatus);
  EXPECT_EQ(Q7M_SYM(handle, ReadB)(kBoardIoWindowOffset + kPort, 0), 0);

  const SimPollFigures f = Figures();
  EXPECT_EQ(f.accesses, 6u + 2u + 1u + 3u + 2u + 1u + 2u + 1u + 1u + 1u);
  EXPECT_EQ(f.accesses + 1, Q7M_SYM(handle, SimAccessCount)()) << "the log also holds ReadB's";
  EXPECT_EQ(f.statusReads, 3u);
  EXPECT_EQ(f.rxBytes, 3u);
  ASSERT_EQ(f.threads, 1u);
  EXPECT_EQ(Thread(0).tid, ::gettid());
  EXPECT_EQ(Thread(0).statusReads, 3u);
  SimPollThread none{};
  EXPECT_NE(Q7M_SYM(handle, SimPollThreadGet)(1, &none), 0);

  // A new open of the board, as a program's start, counts afresh.
  ASSERT_EQ(Q7M_SYM(handle, InitPCIAccess)(0x1172, 0x5680, 0), 0);
  const SimPollFigures opened = Figures();
  EXPECT_EQ(opened.accesses, 0u);
  EXPECT_EQ(opened.statusReads, 0u);
  EXPECT_EQ(opened.rxBytes, 0u);
  EXPECT_EQ(opened.threads, 0u);
  BoardRegRead(kPort, kUartRxStatus);
  EXPECT_EQ(Figures().accesses, 2u);
  Q7M_SYM(handle, Close)();
}

TEST_F(PollFiguresLibraryTest, StatusReadsAreTimedOnTheThreadThatMadeThem) {
  constexpr std::uint64_t kSpinNs = 20'000'000;
  constexpr int kWorkerReads = 5;
  BoardRegRead(kPort, kUartRxStatus);
  std::int64_t workerTid = 0;
  std::thread worker([&] {
    workerTid = ::gettid();
    for (int i = 0; i < kWorkerReads; ++i) {
      if (i > 0) SpinCpu(kSpinNs);
      BoardRegRead(kPort, kUartRxStatus);
    }
  });
  worker.join();
  BoardRegRead(kPort, kUartRxStatus);

  ASSERT_EQ(Figures().threads, 2u);
  EXPECT_EQ(Figures().statusReads, 2u + kWorkerReads);
  const SimPollThread main = Thread(0);
  const SimPollThread spinner = Thread(1);
  EXPECT_EQ(main.tid, ::gettid());
  EXPECT_EQ(main.statusReads, 2u);
  EXPECT_EQ(spinner.tid, workerTid);
  EXPECT_EQ(spinner.statusReads, static_cast<std::uint64_t>(kWorkerReads));
  constexpr std::uint64_t kSpun = (kWorkerReads - 1) * kSpinNs;
  EXPECT_GE(spinner.cpuNs, kSpun);
  EXPECT_LT(main.cpuNs, kSpun) << "the main thread waited while the other spun";
  // The virtual clock stood still; the wall times are the real clock's.
  EXPECT_GE(spinner.wallNs, kSpun);
  EXPECT_GE(main.wallNs, kSpun);
}

}  // namespace
