// One track through the worker: stage weights and the bars, the order of
// the steps with their pauses, output names, profile numbers, failure
// messages, time stamps, and keep-or-delete with the real worker thread.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <cmath>
#include <filesystem>
#include <thread>

#include "convert/conversion_worker.h"
#include "convert/sample_passes.h"
#include "convert/track_processor.h"
#include "convert/window_progress.h"
#include "track_files.h"
#include "worker_window.h"

namespace mivo {
namespace {

using namespace std::chrono_literals;
using testing::TempFolder;
using testing::WorkerWindow;

TEST(WindowProgress, ThreePassesMakeA768RangeAndHalfTheSecondStageShows384) {
  WorkerWindow w;
  WindowProgress progress(w.m_window, nullptr);
  const std::int32_t weights[] = {256, 256, 256};
  progress.BeginTrackProgress(weights, 3);
  EXPECT_EQ(w.m_window.ProgressHigh(IDC_TRACK_PROGRESS), 768);
  EXPECT_EQ(w.m_window.ProgressPos(IDC_TRACK_PROGRESS), 0);
  progress.BeginStage(10);
  progress.SetStagePos(10);
  EXPECT_EQ(w.m_window.ProgressPos(IDC_STAGE_PROGRESS), 100);
  EXPECT_EQ(w.m_window.ProgressPos(IDC_TRACK_PROGRESS), 256);
  progress.BeginStage(1000);
  EXPECT_EQ(w.m_window.ProgressPos(IDC_STAGE_PROGRESS), 0);
  progress.AdvanceStage(250);
  progress.AdvanceStage(250);
  EXPECT_EQ(w.m_window.ProgressPos(IDC_STAGE_PROGRESS), 50);
  EXPECT_EQ(w.m_window.ProgressPos(IDC_TRACK_PROGRESS), 384);
  progress.SetStageLabel("48->44");
  EXPECT_EQ(w.m_window.GetDlgItemText(IDC_STAGE_LABEL), "48->44");
}

TEST(WindowProgress, EdgesOfUnitsWeightsAndRanges) {
  WorkerWindow w;
  WindowProgress progress(w.m_window, nullptr);
  // The range is the weight sum modulo 65536.
  const std::int32_t wide[] = {65536 + 10};
  progress.BeginTrackProgress(wide, 1);
  EXPECT_EQ(w.m_window.ProgressHigh(IDC_TRACK_PROGRESS), 10);

  const std::int32_t weights[] = {256};
  progress.BeginTrackProgress(weights, 1);
  // A stage of no units counts as one.
  progress.BeginStage(0);
  progress.SetStagePos(1);
  EXPECT_EQ(w.m_window.ProgressPos(IDC_STAGE_PROGRESS), 100);
  EXPECT_EQ(w.m_window.ProgressPos(IDC_TRACK_PROGRESS), 256);
  // Units beyond 32 bits: products without overflow.
  progress.BeginTrackProgress(weights, 1);
  progress.BeginStage(6'000'000'000);
  progress.SetStagePos(3'000'000'000);
  EXPECT_EQ(w.m_window.ProgressPos(IDC_STAGE_PROGRESS), 50);
  EXPECT_EQ(w.m_window.ProgressPos(IDC_TRACK_PROGRESS), 128);
  // A stage beyond the weight list has weight 0: the track bar stays.
  progress.BeginStage(10);
  progress.SetStagePos(5);
  EXPECT_EQ(w.m_window.ProgressPos(IDC_STAGE_PROGRESS), 50);
  EXPECT_EQ(w.m_window.ProgressPos(IDC_TRACK_PROGRESS), 256);
  // The bars move only when the percentage changes.
  w.m_window.SetProgressPos(IDC_TRACK_PROGRESS, 999);
  progress.SetStagePos(5);
  EXPECT_EQ(w.m_window.ProgressPos(IDC_TRACK_PROGRESS), 999);
}

TEST(TrackNames, BaseNameExtensionsAndProfileNumbers) {
  RecorderSettings s;
  s.RecFolder = "/out";
  EXPECT_EQ(TrackBaseName("/rec/music001.wav"), "/music001");
  EXPECT_EQ(TrackBaseName("/rec.d/music001"), "/music001");
  s.m_GogoSetting.dwOutFmt = 2;
  EXPECT_EQ(Mp3OutputPath("/rec/music001.wav", s), "/out/music001.rmp");
  EXPECT_EQ(WmaOutputPath("/rec/music001.wav", s), "/out/music001.wma");
  s.m_GogoSetting.dwOutFmt = 1;
  EXPECT_EQ(Mp3OutputPath("/rec/music001.wav", s), "/out/music001.wav");
  s.m_GogoSetting.dwOutFmt = 7;
  EXPECT_EQ(Mp3OutputPath("/rec/music001.wav", s), "/out/music001.mp3");
  s.m_GogoSetting.bOutFileExp = 1;
  s.SetOutFileExp(".ogg");
  EXPECT_EQ(Mp3OutputPath("/rec/music001.wav", s), "/out/music001.ogg");
  s.RecFolder = "/out/";
  EXPECT_EQ(WmaOutputPath("/rec/music001.wav", s), "/out/music001.wma");
  s.RecFolder = "out";
  EXPECT_EQ(WmaOutputPath("music001.wav", s), "out/music001.wma");
  // Relative and empty folders lie where the settings file says, never at the root.
  s.m_strFilesBase = "/home/u/Music/Mivo";
  EXPECT_EQ(WmaOutputPath("/rec/music001.wav", s), "/home/u/Music/Mivo/out/music001.wma");
  s.RecFolder = "";
  EXPECT_EQ(WmaOutputPath("/rec/music001.wav", s), "/home/u/Music/Mivo/music001.wma");

  WmaSetting wma;
  wma.nProfileIndex = 0;
  wma.bUseWMA8 = true;
  EXPECT_EQ(WmaProfileNumber(wma), 22);
  wma.bUseWMA8 = false;
  EXPECT_EQ(WmaProfileNumber(wma), 9);
  wma.nProfileIndex = 5;
  EXPECT_EQ(WmaProfileNumber(wma), 4);
}

// What the fake encoders saw.
struct EncoderLog {
  std::vector<std::string> calls;
  std::vector<std::int16_t> mp3Input;
  int profile = -1;
  bool useWma8 = false, addIndex = false;
};

EncoderSteps FakeEncoders(EncoderLog& log, bool mp3Ok = true) {
  EncoderSteps steps;
  steps.mp3 = [&log, mp3Ok](const std::string& track, const std::string& out, const RecorderSettings&,
                            IProgress& progress, IStepLog& notes) {
    log.calls.push_back("mp3 " + out);
    log.mp3Input = testing::SamplesOf(testing::ReadBytes(track), 0);
    progress.SetStageLabel("MP3");
    testing::WriteBytes(out, "mp3");
    if (!mp3Ok) notes.Note("MP3 of " + track + " failed: No space left on device");
    return mp3Ok;
  };
  steps.wma = [&log](const std::string&, const std::string& out, int profile, bool useWma8, bool addIndex,
                     IProgress&, IStepLog&) {
    log.calls.push_back("wma " + out);
    log.profile = profile;
    log.useWma8 = useWma8;
    log.addIndex = addIndex;
    testing::WriteBytes(out, "wma");
    return true;
  };
  return steps;
}

struct Fixture {
  TempFolder dir;
  WorkerWindow window;
  std::string track = dir.PathOf("music001.wav");
  std::vector<unsigned> sleeps;
  EncoderLog log;

  TrackProcessor Processor(bool mp3Ok = true) {
    TrackProcessor::Options options;
    options.sleep = [this](unsigned ms) { sleeps.push_back(ms); };
    return TrackProcessor(FakeEncoders(log, mp3Ok), options);
  }
  std::vector<std::string> Boxes() const {
    std::vector<std::string> texts;
    for (const auto& b : window.m_host.Boxes()) {
      EXPECT_EQ(b.caption, "Mivo");
      EXPECT_EQ(b.type, ui::MB_OK | ui::MB_ICONEXCLAMATION);
      EXPECT_FALSE(b.owned);
      texts.push_back(b.text);
    }
    return texts;
  }
};

TEST(TrackProcessor, RunsTheEnabledStepsInOrderWithTheirPausesOnTheProcessedTrack) {
  Fixture f;
  testing::WriteBytes(f.track, testing::TrackBytes({100, -100, 50, 0}));
  f.window.Change([&](RecorderSettings& s) {
    s.RecFolder = f.dir.Dir().string();
    s.RecNormalize = true;
    s.NormalizeAuto = true;
    s.DcOffsetAuto = false;
    s.DcOffsetLevelL = 0;
    s.DcOffsetLevelR = 0;
    s.RecMp3 = true;
    s.RecWma = true;
    s.Rec4844 = true;
    s.m_nConvKind = 2;  // no method: no stage, no message
    s.m_nSleepBeforProcess = 2;
    s.m_WmaSetting.nProfileIndex = 0;
    s.m_WmaSetting.bUseWMA8 = true;
    s.m_WmaSetting.bAddIndex = true;
  });
  TrackProcessor processor = f.Processor();
  // The level: the largest distance of a sample from the offset, here 16384.
  processor.ProcessTrack(QueueEntry{f.track, 100, 0, 5, 5, 44100, 0, {-16384, 100}, {-100, 0}}, f.window);

  // Normalize, (resampling), MP3, WMA: each pauses 2 s first.
  EXPECT_EQ(f.sleeps, (std::vector<unsigned>{2000, 2000, 2000, 2000}));
  EXPECT_EQ(f.window.m_window.ProgressHigh(IDC_TRACK_PROGRESS), 768);
  // The MP3 encoder read the normalized track (16384 as the level).
  EXPECT_EQ(f.log.mp3Input, (std::vector<std::int16_t>{200, -200, 100, 0}));
  EXPECT_EQ(f.log.calls, (std::vector<std::string>{"mp3 " + f.dir.PathOf("music001.mp3"),
                                                    "wma " + f.dir.PathOf("music001.wma")}));
  EXPECT_EQ(f.log.profile, 22);
  EXPECT_TRUE(f.log.useWma8);
  EXPECT_TRUE(f.log.addIndex);
  EXPECT_TRUE(f.Boxes().empty());
}

TEST(TrackProcessor, NothingEnabledWritesNothingAndShowsAnEmptyTrackBar) {
  Fixture f;
  const std::string bytes = testing::TrackBytes(testing::Noise(100, 1));
  testing::WriteBytes(f.track, bytes);
  f.window.Change([](RecorderSettings& s) { s.m_nSleepBeforProcess = 3; });
  TrackProcessor processor = f.Processor();
  processor.ProcessTrack(QueueEntry{f.track, 0, 0, 0, 0}, f.window);
  EXPECT_EQ(f.window.m_window.ProgressHigh(IDC_TRACK_PROGRESS), 0);
  EXPECT_TRUE(f.sleeps.empty());
  EXPECT_EQ(testing::ReadBytes(f.track), bytes);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(f.dir.Dir()), {}), 1);
}

TEST(TrackProcessor, EachFailedStepIsToldAndTheNextStepStillRuns) {
  Fixture f;
  // Not a 48/32 kHz track: the precise method refuses it.
  testing::WriteBytes(f.track, testing::TrackBytes(testing::Noise(100, 1), {0, 44100}));
  f.window.Change([&](RecorderSettings& s) {
    s.RecFolder = f.dir.Dir().string();
    s.RecDeEmphasis = true;
    s.Rec4844 = true;
    s.m_nConvKind = 1;
    s.RecMp3 = true;
    s.RecWma = true;
  });
  TrackProcessor processor = f.Processor(false);
  // Captured at 5000 Hz: no de-emphasis at this rate.
  processor.ProcessTrack(QueueEntry{f.track, 0, 0, 0, 0, 5000}, f.window);
  EXPECT_EQ(f.Boxes(), (std::vector<std::string>{std::string(kDeEmphasisFailed), std::string(kResampleFailed),
                                                  std::string(kMp3Failed)}));
  EXPECT_EQ(f.log.calls.size(), 2u);  // the WMA step ran after the failed MP3 step
}

TEST(TrackProcessor, AnEncoderThatIsNotThereReportsItsFailure) {
  Fixture f;
  testing::WriteBytes(f.track, testing::TrackBytes(testing::Noise(100, 1)));
  f.window.Change([&](RecorderSettings& s) {
    s.RecFolder = f.dir.Dir().string();
    s.RecMp3 = true;
    s.RecWma = true;
  });
  TrackProcessor processor;  // no encoders
  processor.ProcessTrack(QueueEntry{f.track, 0, 0, 0, 0}, f.window);
  EXPECT_EQ(f.Boxes(), (std::vector<std::string>{std::string(kMp3Failed), std::string(kWmaFailed)}));
}

TEST(TrackProcessor, TimestampsGoToTheKeptTrackAndTheOutputsModificationTimeOnly) {
  Fixture f;
  testing::WriteBytes(f.track, testing::TrackBytes(testing::Noise(100, 1)));
  f.window.Change([&](RecorderSettings& s) {
    s.RecFolder = f.dir.Dir().string();
    s.RecMp3 = true;
    s.RecWma = true;
    s.RecWav = true;
    s.ChangeTimestamp = true;
  });
  TrackProcessor processor = f.Processor();
  const std::int64_t start = 4'102'444'800;  // 2100-01-01, past 32-bit seconds
  processor.ProcessTrack(QueueEntry{f.track, 0, start, 0, 0}, f.window);
  for (const std::string& name : {std::string("music001.wav"), std::string("music001.mp3"), std::string("music001.wma")}) {
    struct stat st {};
    ASSERT_EQ(::stat(f.dir.PathOf(name).c_str(), &st), 0);
    EXPECT_EQ(st.st_mtim.tv_sec, start) << name;
    EXPECT_LT(st.st_atim.tv_sec, start) << name;  // the access time as it was
  }
  EXPECT_FALSE(SetTrackTimestamp(f.dir.PathOf("missing.wav"), start));
}

TEST(TrackProcessor, ReadsAndFiltersTheTrackAsItWasWrittenNotAsTheSettingsNowSay) {
  Fixture f;
  // Captured at 48 kHz in the 44-byte form; since then the input dialog has
  // chosen 44.1 kHz and the 46-byte form.
  const auto in = testing::Noise(3000, 9);
  testing::WriteBytes(f.track, testing::TrackBytes(in, {2, 48000}));
  const std::string reference = f.dir.PathOf("reference.wav");
  testing::WriteBytes(reference, testing::TrackBytes(in, {2, 48000}));
  testing::RecordingProgress quiet;
  ASSERT_TRUE(DeEmphasisWav(reference, {48000}, PassContext{quiet, 2}));
  f.window.Change([&](RecorderSettings& s) {
    s.RecDeEmphasis = true;
    s.RecSamplesPerSec = 44100;
    s.m_nWavheaderShortening = 0;
  });
  TrackProcessor processor = f.Processor();
  processor.ProcessTrack(QueueEntry{f.track, 0, 0, 0, 0, 48000, 2}, f.window);
  EXPECT_TRUE(f.Boxes().empty());
  EXPECT_TRUE(testing::ReadBytes(f.track) == testing::ReadBytes(reference));
}

TEST(TrackProcessor, AutomaticNormalizationBringsTheFartherSideOfAnAsymmetricToneToFullScale) {
  Fixture f;
  // A tone with peaks +7509 / -14335 (its mean about -2170), as capture
  // measures it: the peak of its 1024-frame buffers, the means, each
  // channel's smallest and largest sample.
  std::vector<std::int16_t> in;
  for (int i = 0; i < 8192; ++i) {
    const double v = std::sin(2 * M_PI * i / 100.0);
    const auto s = static_cast<std::int16_t>(std::lround(v > 0 ? 7509 * v : 14335 * v));
    in.push_back(s);
    in.push_back(static_cast<std::int16_t>(s / 2));
  }
  QueueEntry entry{f.track};
  std::int64_t sum[2] = {};
  ChannelRange range[2] = {{in[0], in[0]}, {in[1], in[1]}};
  for (std::size_t i = 0; i < in.size(); ++i) {
    sum[i % 2] += in[i];
    range[i % 2] = {std::min(range[i % 2].min, in[i]), std::max(range[i % 2].max, in[i])};
  }
  entry.peak = (7509 + 14335 + 1) / 2;
  entry.dcL = static_cast<std::int32_t>(sum[0] / 8192);
  entry.dcR = static_cast<std::int32_t>(sum[1] / 8192);
  entry.rangeL = range[0];
  entry.rangeR = range[1];
  ASSERT_EQ(range[0].max, 7509);
  ASSERT_EQ(range[0].min, -14335);
  testing::WriteBytes(f.track, testing::TrackBytes(in));
  f.window.Change([](RecorderSettings& s) {
    s.RecNormalize = true;
    s.NormalizeAuto = true;
    s.DcOffsetAuto = true;
  });
  TrackProcessor processor = f.Processor();
  processor.ProcessTrack(entry, f.window);
  const auto out = testing::SamplesOf(testing::ReadBytes(f.track), 0);
  ASSERT_EQ(out.size(), in.size());
  std::int16_t lo = 0, hi = 0;
  for (std::size_t i = 0; i < out.size(); i += 2) {
    lo = std::min(lo, out[i]);
    hi = std::max(hi, out[i]);
  }
  // Nothing clips: the negative side reaches -32767 exactly; the positive
  // side stays inside.
  EXPECT_EQ(lo, -32767);
  EXPECT_GT(hi, 20000);
  EXPECT_LT(hi, 32767);
}

struct ToldSteps final : IStepReporter {
  void StepFailed(std::string_view message) override { failed.emplace_back(message); }
  void Note(std::string_view line) override { notes.emplace_back(line); }
  std::vector<std::string> failed, notes;
};

// mivo-convert's way: the track does not exist yet and the passes read the
// given file until one of them has written the track.
TEST(TrackProcessor, FromASourceTheFirstPassThatWorksWritesTheTrackAndTheSourceStays) {
  Fixture f;
  const std::string given = f.dir.PathOf("given.wav");
  const std::string bytes = testing::TrackBytes(testing::Noise(3200, 7), {0, 48000});
  testing::WriteBytes(given, bytes);
  TrackSource source;
  source.path = given;
  std::memcpy(source.header, bytes.data(), TrackHeaderSize(0));
  source.dataOffset = TrackHeaderSize(0);
  source.dataSize = static_cast<std::uint32_t>(bytes.size() - TrackHeaderSize(0));
  // The reference: the linear pass on a track of the same bytes.
  const std::string plain = f.dir.PathOf("plain.wav");
  testing::WriteBytes(plain, bytes);
  testing::RecordingProgress quiet;
  ASSERT_TRUE(Resample4844Linear(plain, PassContext{quiet}));

  RecorderSettings s;
  s.RecFolder = f.dir.Dir().string();
  s.RecDeEmphasis = true;  // fails: captured at 5000 Hz
  s.Rec4844 = true;
  s.m_nConvKind = 0;
  s.RecMp3 = true;
  s.m_nSleepBeforProcess = 0;
  TrackProcessor processor = f.Processor();
  ToldSteps told;
  const QueueEntry entry{f.track, 0, 0, 0, 0, 5000, 0};
  processor.Process(entry, s, quiet, told, nullptr, &source);
  EXPECT_EQ(told.failed, std::vector<std::string>{std::string(kDeEmphasisFailed)});
  EXPECT_TRUE(testing::ReadBytes(f.track) == testing::ReadBytes(plain));
  EXPECT_EQ(f.log.mp3Input, testing::SamplesOf(testing::ReadBytes(plain), 0));
  EXPECT_TRUE(testing::ReadBytes(given) == bytes);

  // No pass at all: the encoders read the source's audio as the track.
  std::filesystem::remove(f.track);
  s.RecDeEmphasis = s.Rec4844 = false;
  processor.Process(entry, s, quiet, told, nullptr, &source);
  EXPECT_TRUE(testing::ReadBytes(f.track) == bytes);
  EXPECT_EQ(f.log.mp3Input, testing::SamplesOf(bytes, 0));

  // A failed encoder: the track made from the source is a work file, not
  // the only copy of a recording, so nothing claims it is kept.
  std::filesystem::remove(f.track);
  s.RecWav = false;
  told = {};
  f.Processor(false).Process(entry, s, quiet, told, nullptr, &source);
  EXPECT_EQ(told.failed, std::vector<std::string>{std::string(kMp3Failed)});
  for (const std::string& note : told.notes) EXPECT_EQ(note.find("is kept"), std::string::npos) << note;
}

// The real worker thread around the processor.
bool Drained(ConversionQueue& q) {
  for (int i = 0; i < 2500 && q.Length() != 0; ++i) std::this_thread::sleep_for(2ms);
  return q.Length() == 0;
}

TEST(WorkerWithTrackProcessor, RecWavOffDeletesOnlyTheProcessedTrack) {
  Fixture f;
  testing::WriteBytes(f.track, testing::TrackBytes(testing::Noise(3000, 1), {2, 48000}));
  f.window.Change([&](RecorderSettings& s) {
    s.RecFolder = f.dir.PathOf("out");
    s.RecSamplesPerSec = 48000;
    s.m_nWavheaderShortening = 2;
    s.RecDeEmphasis = true;
    s.m_bOrgsave = true;
    s.RecMp3 = true;
    s.RecWav = false;
  });
  std::filesystem::create_directory(f.dir.PathOf("out"));
  TrackProcessor processor = f.Processor();
  ConversionWorker worker(f.window, processor);
  ASSERT_TRUE(worker.Start(0));
  f.window.m_queue.Append(QueueEntry{f.track, 0, 0, 0, 0, 48000, 2});
  ASSERT_TRUE(Drained(f.window.m_queue));
  EXPECT_FALSE(std::filesystem::exists(f.track));
  EXPECT_TRUE(std::filesystem::exists(f.dir.PathOf("music001o.wav")));  // the unprocessed copy stays
  EXPECT_TRUE(std::filesystem::exists(f.dir.PathOf("out/music001.mp3")));
  f.window.m_queue.m_evQueue.Pulse();
  ASSERT_TRUE(worker.WaitEnded(5s));
  EXPECT_EQ(f.window.m_window.GetDlgItemText(IDC_STAGE_LABEL), "-");
  EXPECT_EQ(f.window.m_window.ProgressPos(IDC_TRACK_PROGRESS), 0);
  EXPECT_EQ(f.window.m_window.ProgressPos(IDC_STAGE_PROGRESS), 0);
}

TEST(WorkerWithTrackProcessor, AFailedOutputStepKeepsTheOnlyCopyAndNotesWhy) {
  Fixture f;
  const std::string bytes = testing::TrackBytes(testing::Noise(500, 3));
  testing::WriteBytes(f.track, bytes);
  f.window.Change([&](RecorderSettings& s) {
    s.RecFolder = f.dir.Dir().string();
    s.RecMp3 = true;
    s.RecWma = true;  // no WMA encoder here
    s.RecWav = false;
  });
  for (bool mp3Ok : {false, true}) {
    EncoderSteps steps = FakeEncoders(f.log, mp3Ok);
    steps.wma = nullptr;
    TrackProcessor processor(steps);
    ConversionWorker worker(f.window, processor);
    ASSERT_TRUE(worker.Start(0));
    ::testing::internal::CaptureStderr();
    f.window.m_queue.Append(QueueEntry{f.track, 0, 0, 0, 0});
    const bool drained = Drained(f.window.m_queue);
    const std::string err = ::testing::internal::GetCapturedStderr();
    ASSERT_TRUE(drained);
    EXPECT_EQ(testing::ReadBytes(f.track), bytes) << mp3Ok;  // kept although RecWav is off
    const auto lines = f.window.LogLines();
    ASSERT_FALSE(lines.empty());
    for (const std::string& line : lines) EXPECT_NE(err.find("mivo: " + line + "\n"), std::string::npos) << line;
    const std::string all = ::testing::PrintToString(lines);
    EXPECT_NE(all.find("WMA output of " + f.track + " failed: this build has no WMA encoder"), std::string::npos);
    EXPECT_EQ(all.find("No space left on device") != std::string::npos, !mp3Ok) << all;
    EXPECT_NE(all.find(f.track + " is kept"), std::string::npos) << all;
    f.window.m_queue.m_evQueue.Pulse();
    ASSERT_TRUE(worker.WaitEnded(5s));
    worker.Join();
    f.window.m_logLines.clear();
  }
  // The boxes keep their texts.
  EXPECT_EQ(f.Boxes(), (std::vector<std::string>{std::string(kMp3Failed), std::string(kWmaFailed),
                                                  std::string(kWmaFailed)}));
}

TEST(WorkerWithTrackProcessor, TheDebugLogTellsThePreciseKernelAndThreadsAfterTheTrack) {
  Fixture f;
  testing::WriteBytes(f.track, testing::TrackBytes(testing::Noise(3000, 2), {0, 48000}));
  f.window.Change([&](RecorderSettings& s) {
    s.RecFolder = f.dir.Dir().string();
    s.Rec4844 = true;
    s.m_nConvKind = 1;
    s.m_nFs44Precision = 0;
    s.RecWav = true;
  });
  TrackProcessor processor = f.Processor();
  ConversionWorker worker(f.window, processor);
  ASSERT_TRUE(worker.Start(-2));
  ::testing::internal::CaptureStderr();
  f.window.m_queue.Append(QueueEntry{f.track, 0, 0, 0, 0, 48000, 0});
  const bool drained = Drained(f.window.m_queue);
  const std::string err = ::testing::internal::GetCapturedStderr();
  ASSERT_TRUE(drained);
  const int threads = platform::ProcessorCount();
  const std::string line = f.track + "  48->44 high precision 0: " + PreciseKernelName(PreciseKernel::Auto) + ", " +
                           std::to_string(threads) + (threads == 1 ? " thread" : " threads");
  EXPECT_EQ(f.window.LogLines(), std::vector<std::string>{line});
  EXPECT_EQ(err.find("high precision"), std::string::npos);  // the log only, not the terminal
  f.window.m_queue.m_evQueue.Pulse();
  ASSERT_TRUE(worker.WaitEnded(5s));
}

TEST(WorkerWithTrackProcessor, AFailedTrackIsToldAndStillLeavesTheQueue) {
  Fixture f;
  f.window.Change([&](RecorderSettings& s) {
    s.RecNormalize = true;
    s.RecWav = true;
  });
  TrackProcessor processor = f.Processor();
  ConversionWorker worker(f.window, processor);
  ASSERT_TRUE(worker.Start(0));
  f.window.m_queue.Append(QueueEntry{f.dir.PathOf("missing.wav"), 0, 0, 0, 0});
  ASSERT_TRUE(Drained(f.window.m_queue));
  f.window.m_queue.m_evQueue.Pulse();
  ASSERT_TRUE(worker.WaitEnded(5s));
  EXPECT_EQ(f.Boxes(), std::vector<std::string>{std::string(kNormalizeFailed)});
  EXPECT_EQ(f.window.m_queue.Length(), 0u);
}

TEST(WorkerWithTrackProcessor, AStopRequestCutsTheTrackShortQuietlyAndKeepsIt) {
  Fixture f;
  const std::string bytes = testing::TrackBytes(testing::Noise(300000, 4));
  testing::WriteBytes(f.track, bytes);
  f.window.Change([&](RecorderSettings& s) {
    s.RecFolder = f.dir.Dir().string();
    s.RecNormalize = true;
    s.RecDeEmphasis = true;
    s.RecMp3 = true;
    s.RecWav = false;
    s.m_nSleepBeforProcess = 1;
  });
  ConversionWorker* running = nullptr;
  TrackProcessor::Options options;
  int pauses = 0;
  // The program is told to end during the pause before de-emphasis.
  options.sleep = [&](unsigned) {
    if (++pauses == 2) running->RequestStop();
  };
  TrackProcessor processor(FakeEncoders(f.log), options);
  ConversionWorker worker(f.window, processor);
  running = &worker;
  ASSERT_TRUE(worker.Start(0));
  f.window.m_queue.Append(QueueEntry{f.track, 32767, 0, 0, 0});
  ASSERT_TRUE(worker.WaitEnded(5s));
  worker.Join();
  EXPECT_TRUE(std::filesystem::exists(f.track));  // kept although RecWav is off
  EXPECT_EQ(testing::ReadBytes(f.track), bytes);   // normalized at full scale: unchanged
  EXPECT_TRUE(f.log.calls.empty());
  EXPECT_TRUE(f.Boxes().empty());
  EXPECT_EQ(pauses, 2);
}

}  // namespace
}  // namespace mivo
