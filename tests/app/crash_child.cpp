// The recorder's conversion side as a program of its own, for the crash
// tests: the queue journal with its start-up recovery, the worker, every
// sample pass and the real MP3 encoder. It kills itself with SIGKILL at the
// k-th point of interest (a block read or written, a result complete, a
// rename done, a record on disk, a frame encoded) and prints each point it
// passes, so that a test can stop it anywhere, deterministically.
//
//   crash_child FOLDER LIBGOGO KILL_AT [fresh]
//
// FOLDER holds rec/music001.wav (with "fresh": queued as a new track) and
// receives out/ and the journal; KILL_AT 0 runs to the end.
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "capture/track_recovery.h"
#include "convert/conversion_worker.h"
#include "convert/queue_journal.h"
#include "convert/track_processor.h"
#include "encode/gogo_dll.h"
#include "convert/worker_window.h"

namespace mivo {
namespace {

int g_killAt = 0;
int g_points = 0;

void Point(const char* name) {
  ++g_points;
  std::printf("%d %s\n", g_points, name);
  std::fflush(stdout);
  if (g_points == g_killAt) ::kill(::getpid(), SIGKILL);
}

const char* NameOf(FaultPoint p) {
  switch (p) {
    case FaultPoint::Read: return "read";
    case FaultPoint::Write: return "write";
    case FaultPoint::BeforeReplace: return "complete";
    case FaultPoint::Replaced: return "renamed";
  }
  return "?";
}

// Every record of the journal, followed by a point.
class PointedLedger final : public IStepLedger {
 public:
  explicit PointedLedger(QueueJournal& journal) : m_journal(journal) {}
  StepsDone Done(const QueueEntry& e) override { return m_journal.Done(e); }
  void OutputBegun(const QueueEntry& e, TrackStep s, const ReplaceIntent& f) override {
    m_journal.OutputBegun(e, s, f);
    Point("output-begun");
  }
  void Replacing(const QueueEntry& e, TrackStep s, bool output, const ReplaceIntent& i) override {
    m_journal.Replacing(e, s, output, i);
    Point("replacing");
  }
  void StepEnded(const QueueEntry& e, TrackStep s, bool failed) override {
    m_journal.StepEnded(e, s, failed);
    Point("step-ended");
  }
  void Finishing(const QueueEntry& e) override {
    m_journal.Finishing(e);
    Point("finishing");
  }
  void Removed(const QueueEntry& e) override {
    m_journal.Removed(e);
    Point("removed");
  }

 private:
  QueueJournal& m_journal;
};

// The encoder's progress, with a point per position.
class PointedProgress final : public IProgress {
 public:
  explicit PointedProgress(IProgress& inner) : m_inner(inner) {}
  void SetStageLabel(std::string_view text) override { m_inner.SetStageLabel(text); }
  void BeginTrackProgress(const std::int32_t* w, int n) override { m_inner.BeginTrackProgress(w, n); }
  void BeginStage(std::int64_t units) override { m_inner.BeginStage(units); }
  void SetStagePos(std::int64_t units) override {
    m_inner.SetStagePos(units);
    Point("encode");
  }
  void AdvanceStage(std::int64_t units) override {
    m_inner.AdvanceStage(units);
    Point("encode");
  }
  bool Cancelled() const override { return m_inner.Cancelled(); }

 private:
  IProgress& m_inner;
};

// The test window, with the journal's records as its ledger.
class ChildWindow final : public testing::WorkerWindow {
 public:
  explicit ChildWindow(IStepLedger& ledger) : m_ledger(ledger) {}
  IStepLedger* Ledger() override { return &m_ledger; }

 private:
  IStepLedger& m_ledger;
};

int Run(const std::string& folder, const std::string& library, bool fresh) {
  RecorderSettings s;
  s.RecTempFolder = folder + "/rec";
  s.RecFolder = folder + "/out";
  s.RecWav = s.RecMp3 = true;
  s.RecNormalize = s.NormalizeAuto = s.DcOffsetAuto = true;
  s.RecDeEmphasis = true;
  s.m_bOrgsave = true;  // the pass that keeps the old track under a second name
  s.Rec4844 = true;
  s.m_nConvKind = 0;
  s.m_nSleepBeforProcess = 0;
  s.ChangeTimestamp = false;

  GogoDll gogo;
  GogoSearch search;
  search.libraryName = library;
  if (LoadGogoDll(gogo, search) != kGogoLoaded) {
    std::fprintf(stderr, "crash_child: %s\n", gogo.strLoadError.c_str());
    return 3;
  }

  QueueJournal journal(folder + "/mivo.ini.journal",
                       [](std::string_view line) { std::fprintf(stderr, "note: %.*s\n", static_cast<int>(line.size()), line.data()); });
  PointedLedger ledger(journal);
  ChildWindow window(ledger);
  window.Change([&s](RecorderSettings& settings) { settings = s; });
  EncoderSteps steps;
  steps.mp3 = [&gogo, &window](const std::string& track, const std::string& out, const RecorderSettings& settings,
                               IProgress& progress, IStepLog& log) {
    PointedProgress pointed(progress);
    return EncodeMp3(gogo, window.m_host, track, out, settings, pointed, &log);
  };
  TrackProcessor::Options options;
  options.fault = [](FaultPoint p) {
    Point(NameOf(p));
    return false;
  };
  TrackProcessor processor(steps, options);
  ConversionWorker worker(window, processor);
  if (!worker.Start(0)) return 4;
  while (!worker.Started()) std::this_thread::sleep_for(std::chrono::milliseconds(1));

  RecoverTracks(journal, window.Queue(), nullptr);
  if (fresh) {
    QueueEntry e;
    e.file = s.RecTempFolder + "/music001.wav";
    e.peak = 12000;
    e.sampleRate = 48000;
    e.headerShortening = 2;  // as sox writes it
    e.rangeL = {-12000, 11000};
    e.rangeR = {-9000, 12000};
    platform::FileId id;
    if (!platform::FileIdAt(e.file, &id)) return 5;
    // On disk first, as the track being recorded was before it closed.
    journal.Queued(e, id);
    if (!journal.Flush(std::chrono::seconds(10))) return 5;
    window.Queue().Append(e);
  }

  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (window.Queue().Length() != 0 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  worker.RequestStop();
  worker.Join();
  journal.Stop();
  FreeGogoDll(gogo);
  return window.Queue().Length() == 0 ? 0 : 6;
}

}  // namespace
}  // namespace mivo

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: crash_child FOLDER LIBGOGO KILL_AT [fresh]\n");
    return 2;
  }
  mivo::g_killAt = std::atoi(argv[3]);
  return mivo::Run(argv[1], argv[2], argc > 4 && std::string(argv[4]) == "fresh");
}
