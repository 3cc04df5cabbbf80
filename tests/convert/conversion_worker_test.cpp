// The conversion worker against a headless window: order, keep-or-delete,
// the remaining count, the end rules, and a randomised hand-shake stress.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "convert/conversion_worker.h"
#include "platform/ui/headless/headless_host.h"
#include "settings/recorder_ids.h"
#include "support/temp_folder.h"
#include "worker_window.h"

namespace mivo {
namespace {

using namespace std::chrono_literals;
using testing::TempFolder;

using FakeWindow = testing::WorkerWindow;

class RecordingProcessor : public ITrackProcessor {
 public:
  TrackResult ProcessTrack(const QueueEntry& entry, IWorkerWindow& window) override {
    {
      std::unique_lock lock(m_mtx);
      m_processed.push_back(entry.file);
      m_shortening.push_back(entry.headerShortening);
      m_cv.notify_all();
      m_cv.wait(lock, [this] { return !m_bHold; });
    }
    window.Window().SetProgressPos(IDC_TRACK_PROGRESS, 77);
    window.Window().SetDlgItemText(IDC_STAGE_LABEL, "busy");
    // A track named "*keep*" stands for one whose output step failed.
    return TrackResult{entry.file.find("keep") != std::string::npos};
  }
  void Hold(bool hold) {
    std::lock_guard lock(m_mtx);
    m_bHold = hold;
    m_cv.notify_all();
  }
  bool WaitProcessed(std::size_t count, std::chrono::milliseconds timeout) {
    std::unique_lock lock(m_mtx);
    return m_cv.wait_for(lock, timeout, [&] { return m_processed.size() >= count; });
  }
  std::vector<std::string> Processed() {
    std::lock_guard lock(m_mtx);
    return m_processed;
  }
  std::vector<int> Shortening() {
    std::lock_guard lock(m_mtx);
    return m_shortening;
  }

 private:
  std::mutex m_mtx;
  std::condition_variable m_cv;
  std::vector<std::string> m_processed;
  std::vector<int> m_shortening;
  bool m_bHold = false;
};

std::string MakeTrack(const TempFolder& dir, int n) {
  const std::string path = dir.PathOf("music" + std::to_string(n) + ".wav");
  testing::WriteBytes(path, "RIFF");
  return path;
}

TEST(ConversionWorker, ProcessesTracksInOrderAndKeepsOrDeletesByRecWav) {
  TempFolder dir;
  ASSERT_TRUE(dir.Ok());
  FakeWindow window;
  window.Change([](RecorderSettings& s) {
    s.RecWav = false;
    s.m_nWavheaderShortening = 2;
  });
  RecordingProcessor processor;
  ConversionWorker worker(window, processor);
  ASSERT_TRUE(worker.Start(0));
  while (!worker.Started()) std::this_thread::sleep_for(1ms);

  const std::string a = MakeTrack(dir, 1), b = MakeTrack(dir, 2), c = MakeTrack(dir, 3);
  auto drained = [&] {
    for (int i = 0; i < 2500 && window.m_queue.Length() != 0; ++i) std::this_thread::sleep_for(2ms);
    return window.m_queue.Length() == 0;
  };
  EXPECT_EQ(window.m_queue.Append({a, 100, 1, 0, 0, 44100, 2}), 1u);
  ASSERT_TRUE(drained());
  EXPECT_FALSE(std::filesystem::exists(a));  // RecWav off: the track goes
  // ... unless one of its output steps failed: then it is the only copy.
  const std::string kept = dir.PathOf("keep004.wav");
  testing::WriteBytes(kept, "RIFF");
  EXPECT_EQ(window.m_queue.Append({kept, 100, 1, 0, 0, 44100, 2}), 1u);
  ASSERT_TRUE(drained());
  EXPECT_TRUE(std::filesystem::exists(kept));

  // The header form changed while a track waits: each track is read in the
  // form it was written in.
  window.Change([](RecorderSettings& s) {
    s.RecWav = true;
    s.m_nWavheaderShortening = 0;
  });
  processor.Hold(true);
  EXPECT_EQ(window.m_queue.Append({b, 200, 2, 0, 0, 44100, 2}), 1u);
  ASSERT_TRUE(processor.WaitProcessed(3, 5s));
  // While a track is processed it stays in the queue.
  EXPECT_EQ(window.m_queue.Append({c, 300, 3, 0, 0, 44100, 0}), 2u);
  processor.Hold(false);
  ASSERT_TRUE(drained());

  EXPECT_EQ(processor.Processed(), (std::vector<std::string>{a, kept, b, c}));
  EXPECT_EQ(processor.Shortening(), (std::vector<int>{2, 2, 2, 0}));
  EXPECT_TRUE(std::filesystem::exists(b) && std::filesystem::exists(c));

  // The close request's pulse with an empty queue ends the worker.
  window.m_queue.m_evQueue.Pulse();
  EXPECT_TRUE(worker.WaitEnded(5s));
  EXPECT_EQ(window.m_window.GetDlgItemText(IDC_STAGE_LABEL), "-");
  EXPECT_EQ(window.m_window.ProgressPos(IDC_TRACK_PROGRESS), 0);
  window.m_window.PumpMessages();
  // One queue-length notice per track, and nothing else outside timer state 3.
  EXPECT_EQ(window.m_dialog.messages, std::vector<unsigned>(4, WM_APP_QUEUE_CHANGED));
}

TEST(ConversionWorker, FinishedTimedRecordingPostsCloseOrPowerOffOnceAndEnds) {
  for (bool powerDown : {false, true}) {
    TempFolder dir;
    FakeWindow window;
    window.Change([&](RecorderSettings& s) { s.TM_POWERDOWN = powerDown; });
    RecordingProcessor processor;
    ConversionWorker worker(window, processor);
    ASSERT_TRUE(worker.Start(0));
    while (!worker.Started()) std::this_thread::sleep_for(1ms);
    processor.Hold(true);
    window.m_queue.Append({MakeTrack(dir, 1), 0, 0, 0, 0});
    ASSERT_TRUE(processor.WaitProcessed(1, 5s));
    window.m_nTimerState = 3;
    processor.Hold(false);
    ASSERT_TRUE(worker.WaitEnded(5s));

    window.m_window.PumpMessages();
    EXPECT_EQ(window.m_dialog.messages,
              (std::vector<unsigned>{WM_APP_QUEUE_CHANGED, powerDown ? WM_APP_POWEROFF : ui::WM_CLOSE}));
    // A track appended after the end is not processed.
    window.m_queue.Append({MakeTrack(dir, 2), 0, 0, 0, 0});
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(processor.Processed().size(), 1u);
  }
}

TEST(ConversionWorker, StopRequestLeavesWaitingTracksUntouched) {
  TempFolder dir;
  FakeWindow window;
  window.Change([](RecorderSettings& s) { s.RecWav = false; });
  RecordingProcessor processor;
  ConversionWorker worker(window, processor);
  ASSERT_TRUE(worker.Start(0));
  while (!worker.Started()) std::this_thread::sleep_for(1ms);
  processor.Hold(true);
  const std::string a = MakeTrack(dir, 1), b = MakeTrack(dir, 2);
  window.m_queue.Append({a, 0, 0, 0, 0});
  window.m_queue.Append({b, 0, 0, 0, 0});
  ASSERT_TRUE(processor.WaitProcessed(1, 5s));
  worker.RequestStop();
  processor.Hold(false);
  ASSERT_TRUE(worker.WaitEnded(5s));
  worker.Join();
  EXPECT_EQ(processor.Processed(), std::vector<std::string>{a});
  EXPECT_TRUE(std::filesystem::exists(b));
  EXPECT_EQ(window.m_queue.Length(), 1u);
}

// The window thread appends tracks and tries to close at random moments, as
// the recorder does; the worker drains. No track may be lost or processed
// twice, and an accepted close (queue empty) must always end the worker.
TEST(ConversionWorkerStress, RandomAppendsAndClosesLoseNothing) {
  std::mt19937 rng(20261209);
  for (int round = 0; round < 150; ++round) {
    FakeWindow window;
    window.Change([](RecorderSettings& s) { s.RecWav = true; });
    RecordingProcessor processor;
    ConversionWorker worker(window, processor);
    ASSERT_TRUE(worker.Start(0));
    while (!worker.Started()) std::this_thread::yield();

    std::vector<std::string> appended;
    const int tracks = std::uniform_int_distribution<int>(0, 12)(rng);
    std::uniform_int_distribution<int> pause(0, 300);
    std::uniform_int_distribution<int> coin(0, 3);
    for (;;) {
      const bool allAppended = static_cast<int>(appended.size()) == tracks;
      if (!allAppended && coin(rng) != 0) {
        appended.push_back("t" + std::to_string(round) + "-" + std::to_string(appended.size()));
        window.m_queue.Append({appended.back(), 0, 0, 0, 0});
      } else if (window.m_queue.Length() == 0) {
        // The close request: accepted only with an empty queue.
        if (allAppended || coin(rng) == 0) {
          window.m_queue.m_evQueue.Pulse();
          break;
        }
      }
      const int us = pause(rng);
      if (us > 150) std::this_thread::sleep_for(std::chrono::microseconds(us - 150));
      else if (us > 75) std::this_thread::yield();
    }
    ASSERT_TRUE(worker.WaitEnded(5s)) << "round " << round << ": the worker missed the close";
    worker.Join();
    EXPECT_EQ(processor.Processed(), appended) << "round " << round;
    EXPECT_EQ(window.m_queue.Length(), 0u);
  }
}

}  // namespace
}  // namespace mivo
