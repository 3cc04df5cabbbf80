// WMA encoding's order of calls and its failure paths: the samples the
// writer receives, a profile with an input of an unknown kind, writing and
// indexing steps that fail, an indexer that never ends, and what a failed
// or stopped encoding leaves on disk.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include "convert/track_files.h"
#include "encode/wma_encoder.h"
#include "platform/sync/thread.h"
#include "support/temp_folder.h"

namespace mivo {
namespace {

namespace fs = std::filesystem;
namespace wm = platform::wm;
using platform::ComPtr;
using platform::E_FAIL;
using platform::HRESULT;
using platform::S_OK;
using testing::RecordingProgress;
using testing::TempFolder;

// ---- stand-ins ----

// What the encoder did with the writer.
struct WriterLog {
  std::vector<std::string> calls;
  std::vector<std::pair<std::uint64_t, std::uint32_t>> samples;  // time, bytes
  bool failBegin = false;
  bool failEnd = false;
};

// Passes every call to the real writer and notes it; fails a step on cue.
class SpyWriter final : public platform::RefCounted<wm::IWMWriter> {
 public:
  SpyWriter(wm::IWMWriter* inner, WriterLog& log) : m_inner(inner), m_log(log) {}
  HRESULT SetProfile(wm::IWMProfile* p) override { return Note("SetProfile", m_inner->SetProfile(p)); }
  HRESULT SetOutputFilename(const platform::WCHAR* f) override {
    return Note("SetOutputFilename", m_inner->SetOutputFilename(f));
  }
  HRESULT GetInputCount(wm::DWORD* n) override { return m_inner->GetInputCount(n); }
  HRESULT GetInputProps(wm::DWORD i, wm::IWMInputMediaProps** p) override { return m_inner->GetInputProps(i, p); }
  HRESULT SetInputProps(wm::DWORD i, wm::IWMInputMediaProps* p) override { return m_inner->SetInputProps(i, p); }
  HRESULT BeginWriting() override { return Note("BeginWriting", m_log.failBegin ? E_FAIL : m_inner->BeginWriting()); }
  HRESULT EndWriting() override { return Note("EndWriting", m_log.failEnd ? E_FAIL : m_inner->EndWriting()); }
  HRESULT AllocateSample(wm::DWORD n, wm::INSSBuffer** s) override { return m_inner->AllocateSample(n, s); }
  HRESULT WriteSample(wm::DWORD input, wm::QWORD time, wm::DWORD flags, wm::INSSBuffer* s) override {
    wm::DWORD bytes = 0;
    s->GetLength(&bytes);
    m_log.samples.emplace_back(time, bytes);
    return m_inner->WriteSample(input, time, flags, s);
  }

 private:
  HRESULT Note(const char* call, HRESULT hr) {
    m_log.calls.emplace_back(call);
    return hr;
  }
  ComPtr<wm::IWMWriter> m_inner;
  WriterLog& m_log;
};

// A profile with streams of the given kinds (audio: 44.1 kHz stereo, 96 kbit/s).
class FakeProfile final : public platform::RefCounted<wm::IWMProfile> {
 public:
  explicit FakeProfile(std::vector<platform::GUID> kinds) : m_kinds(std::move(kinds)) {}
  HRESULT GetName(platform::WCHAR*, wm::DWORD*) override { return E_FAIL; }
  HRESULT GetStreamCount(wm::DWORD* n) override {
    *n = static_cast<wm::DWORD>(m_kinds.size());
    return S_OK;
  }
  HRESULT GetStream(wm::DWORD i, wm::WM_STREAM_DESC* s) override {
    *s = wm::WM_STREAM_DESC{m_kinds[i], wm::WAVE_FORMAT_WMAUDIO2, 2, 44100, 96000};
    return S_OK;
  }

 private:
  std::vector<platform::GUID> m_kinds;
};

// An indexer that reports its start and then nothing until told.
class SilentIndexer final : public platform::RefCounted<wm::IWMIndexer> {
 public:
  HRESULT StartIndexing(const platform::WCHAR*, wm::IWMStatusCallback* callback, void* context) override {
    callback->AddRef();
    m_callback = ComPtr<wm::IWMStatusCallback>(callback);
    m_context = context;
    return m_callback->OnStatus(wm::WMT_STARTED, S_OK, wm::WMT_TYPE_DWORD, nullptr, context);
  }
  HRESULT Cancel() override { return S_OK; }
  // Reports as a late indexer would, after its caller has stopped waiting.
  void ReportLate() {
    wm::BYTE percent[4] = {50, 0, 0, 0};
    m_callback->OnStatus(wm::WMT_INDEX_PROGRESS, S_OK, wm::WMT_TYPE_DWORD, percent, m_context);
    m_callback->OnStatus(wm::WMT_CLOSED, S_OK, wm::WMT_TYPE_DWORD, nullptr, m_context);
  }

 private:
  ComPtr<wm::IWMStatusCallback> m_callback;
  void* m_context = nullptr;
};

// ---- tracks and runs ----

class WmaEncoderTest : public ::testing::Test {
 public:
  void SetUp() override {
    ASSERT_TRUE(m_tmp.Ok());
    m_track = m_tmp.PathOf("music001.wav");
    m_out = m_tmp.PathOf("music001.wma");
    WriteTrack(44100 * 5 / 2);
    m_platform.createWriter = [this](platform::IUnknown*, wm::IWMWriter** writer) {
      ComPtr<wm::IWMWriter> real;
      const HRESULT hr = wm::WMCreateWriter(nullptr, real.Put());
      if (hr < 0) return hr;
      *writer = new SpyWriter(real.Detach(), m_log);
      return S_OK;
    };
    m_platform.createIndexer = [this](wm::IWMIndexer** indexer) {
      ++m_indexers;
      return wm::WMCreateIndexer(indexer);
    };
  }

  // A 44.1 kHz stereo track of `frames` frames of a quiet tone.
  void WriteTrack(std::size_t frames) {
    testing::WriteBytes(m_track, testing::TrackBytes(testing::Frames(frames, [](std::size_t i) {
                                                      const auto v = static_cast<std::int16_t>((i % 100) * 40 - 2000);
                                                      return std::pair<std::int16_t, std::int16_t>{v, v};
                                                    }),
                                                    testing::TrackSpec{0, 44100}));
  }

  bool Encode(int profile = 22, bool wma8 = true, bool index = false) {
    return EncodeWma(m_track, m_out, profile, wma8, index, m_progress, m_platform);
  }

  std::vector<std::string> FilesLeft() const {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(m_tmp.Dir())) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }

  TempFolder m_tmp;
  std::string m_track, m_out;
  WriterLog m_log;
  WmaPlatform m_platform;
  RecordingProgress m_progress;
  int m_indexers = 0;
};

TEST_F(WmaEncoderTest, TwoAndAHalfSecondsAreThreeSamplesOfOneSecondOrLess) {
  ASSERT_TRUE(Encode());
  const std::vector<std::pair<std::uint64_t, std::uint32_t>> expected = {
      {0, 176400}, {10'000'000, 176400}, {20'000'000, 22050 * 4}};
  EXPECT_EQ(m_log.samples, expected);
  EXPECT_EQ(m_log.calls, (std::vector<std::string>{"SetProfile", "SetOutputFilename", "BeginWriting", "EndWriting"}));
  EXPECT_EQ(m_progress.labels, std::vector<std::string>{"WMA"});
  EXPECT_EQ(m_progress.stages, std::vector<std::int64_t>{100});
  EXPECT_EQ(m_progress.positions, (std::vector<std::int64_t>{40, 80, 100, 100}));
  EXPECT_EQ(platform::CoInitializeCount(), 0);
  EXPECT_TRUE(fs::exists(m_out));
}

TEST_F(WmaEncoderTest, AnEmptyTrackBeginsAndEndsWritingWithNoSample) {
  WriteTrack(0);
  ASSERT_TRUE(Encode(9, false));
  EXPECT_TRUE(m_log.samples.empty());
  EXPECT_EQ(m_log.calls, (std::vector<std::string>{"SetProfile", "SetOutputFilename", "BeginWriting", "EndWriting"}));
  EXPECT_TRUE(fs::exists(m_out));
}

TEST_F(WmaEncoderTest, AnInputOfAThirdKindFailsBeforeTheOutputIsNamed) {
  ComPtr<wm::IWMProfile> profile(new FakeProfile({wm::WMMEDIATYPE_Audio, wm::WMMEDIATYPE_Script}));
  CWmaWriter writer(&m_progress, m_platform);
  EXPECT_EQ(writer.Open(m_track, m_out, profile.Get()), E_FAIL);
  EXPECT_EQ(m_log.calls, (std::vector<std::string>{"SetProfile"}));

  // A video input is kept and gets nothing: only the audio is written.
  m_log = {};
  ComPtr<wm::IWMProfile> video(new FakeProfile({wm::WMMEDIATYPE_Video, wm::WMMEDIATYPE_Audio}));
  CWmaWriter second(&m_progress, m_platform);
  ASSERT_EQ(second.Open(m_track, m_out, video.Get()), S_OK);
  EXPECT_EQ(second.Transcode(), S_OK);
  EXPECT_EQ(m_log.samples.size(), 3u);
}

TEST_F(WmaEncoderTest, FailuresInWritingFailTheEncodingSkipIndexingAndLeaveNoFile) {
  struct Case {
    const char* what;
    int profile;  // of the version-4.0 set, which has 21
    std::function<void(WmaEncoderTest&)> arrange;
  } cases[] = {
      {"BeginWriting fails", 9, [](WmaEncoderTest& t) { t.m_log.failBegin = true; }},
      {"EndWriting fails", 9, [](WmaEncoderTest& t) { t.m_log.failEnd = true; }},
      {"the program ends while writing", 9, [](WmaEncoderTest& t) { t.m_progress.cancelAfter = 0; }},
      {"a profile the set does not have", 21, [](WmaEncoderTest&) {}},
      {"a source that is no WAV file", 9, [](WmaEncoderTest& t) { testing::WriteBytes(t.m_track, "RIFF"); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    m_log = {};
    m_progress = {};
    m_indexers = 0;
    WriteTrack(44100 * 5 / 2);
    c.arrange(*this);
    EXPECT_FALSE(Encode(c.profile, false, true));
    EXPECT_EQ(m_indexers, 0);
    EXPECT_EQ(FilesLeft(), std::vector<std::string>{"music001.wav"});
    EXPECT_EQ(platform::CoInitializeCount(), 0);
  }
}

TEST_F(WmaEncoderTest, AnIndexerThatCannotBeCreatedLeavesTheFileUnindexedAndTheResultTrue) {
  m_platform.createIndexer = [](wm::IWMIndexer**) { return E_FAIL; };
  ASSERT_TRUE(Encode(22, true, true));
  EXPECT_EQ(m_progress.labels, std::vector<std::string>{"WMA"});
  EXPECT_EQ(FilesLeft(), (std::vector<std::string>{"music001.wav", "music001.wma"}));
}

TEST_F(WmaEncoderTest, IndexingReportsItsStageAndAddsTheIndexInPlace) {
  const auto before = [&] {
    EXPECT_TRUE(EncodeWma(m_track, m_out, 22, true, false, m_progress, m_platform));
    return fs::file_size(m_out);
  }();
  m_progress = {};
  ASSERT_TRUE(Encode(22, true, true));
  EXPECT_EQ(m_progress.labels, (std::vector<std::string>{"WMA", "WMA(i)"}));
  EXPECT_EQ(m_progress.stages, (std::vector<std::int64_t>{100, 100}));
  EXPECT_EQ(m_progress.pos, 100);
  // An object head of 56 bytes and six bytes an entry.
  EXPECT_GE(fs::file_size(m_out), before + 56 + 3 * 6);
  EXPECT_EQ(FilesLeft(), (std::vector<std::string>{"music001.wav", "music001.wma"}));
}

TEST_F(WmaEncoderTest, AnIndexerThatNeverEndsIsWaitedForOnlyUntilTheBoundAndThenLeftAlone) {
  ComPtr<SilentIndexer> indexer(new SilentIndexer());
  m_platform.createIndexer = [&](wm::IWMIndexer** out) {
    indexer->AddRef();
    *out = indexer.Get();
    return S_OK;
  };
  m_platform.indexWait = std::chrono::milliseconds(20);
  ASSERT_TRUE(Encode(22, true, true));
  EXPECT_EQ(m_progress.labels, (std::vector<std::string>{"WMA", "WMA(i)"}));
  EXPECT_TRUE(m_progress.positions.empty());
  // The worker has gone on: what the indexer reports now touches nothing
  // of it.
  indexer->ReportLate();
  EXPECT_EQ(m_progress.labels.size(), 2u);
  EXPECT_TRUE(m_progress.positions.empty());
  EXPECT_TRUE(fs::exists(m_out));
}

// The caller gives up waiting at once: by the time it goes on, the indexing
// job has stopped, its thread is gone and the file is as it was.
TEST_F(WmaEncoderTest, AnIndexingJobGivenUpOnHasEndedWhenItsCallerGoesOn) {
  WriteTrack(44100 * 60);
  ASSERT_TRUE(Encode(22, true, false));
  const auto threads = [] {
    return std::distance(fs::directory_iterator("/proc/self/task"), fs::directory_iterator());
  };
  // ThreadSanitizer starts a helper thread with the process's first thread.
  platform::Thread first;
  ASSERT_TRUE(first.Start([] {}));
  first.Join();
  const auto before = threads();
  m_platform.indexWait = std::chrono::milliseconds(0);
  EXPECT_EQ(IndexWmaFile(m_out, nullptr, m_platform), S_OK);
  EXPECT_EQ(threads(), before);
  EXPECT_EQ(FilesLeft(), (std::vector<std::string>{"music001.wav", "music001.wma"}));
}

}  // namespace
}  // namespace mivo
