// The wave-input contract: the same cases against every backend. This file
// is built twice: with MIVO_WAVEIN_SYSTEM_BACKENDS for the real sound systems
// (a private PulseAudio daemon, ALSA), without it for the file input and the
// demo signal.
#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "backend_envs.h"
#include "platform/wavein/wavein.h"
#include "wavein_test_support.h"

namespace mivo::platform {
namespace {

using namespace std::chrono_literals;
using namespace test_support;

template <class Env>
class WaveInContract : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    s_env = new Env;
    s_why = s_env->SetUp();
  }
  static void TearDownTestSuite() {
    delete s_env;
    s_env = nullptr;
  }

  void SetUp() override {
    if (!s_why.empty()) {
      if (s_env->Skipped()) GTEST_SKIP() << s_why;
      FAIL() << s_why;
    }
    std::string error;
    m_wave = CreateSystemWaveIn(s_env->Options(), &error);
    ASSERT_TRUE(m_wave) << error;
    m_id = s_env->DeviceId(*m_wave);
  }
  void TearDown() override {
    if (s_env != nullptr && s_why.empty()) s_env->StopInput();
  }

  Env& env() { return *s_env; }
  IWaveIn& wave() { return *m_wave; }

  // Opens the device under test in a Capture.
  std::unique_ptr<Capture> OpenCapture() {
    auto cap = std::make_unique<Capture>(*m_wave);
    const MMRESULT r = cap->Open(m_id, env().Format());
    EXPECT_EQ(r, MMSYSERR_NOERROR);
    if (r != MMSYSERR_NOERROR) return nullptr;
    return cap;
  }

  static inline Env* s_env = nullptr;
  static inline std::string s_why;
  std::unique_ptr<IWaveIn> m_wave;
  unsigned m_id = 0;
};

struct EnvNames {
  template <class T>
  static std::string GetName(int) {
    return T::kName;
  }
};

#ifdef MIVO_WAVEIN_SYSTEM_BACKENDS
using Backends = ::testing::Types<PulseEnv, AlsaEnv>;
#else
using Backends = ::testing::Types<FileEnv, DemoEnv>;
#endif
TYPED_TEST_SUITE(WaveInContract, Backends, EnvNames);

// The index of the first sample where `got` and `want` differ (or the
// shorter length when one is a prefix of the other), for a readable failure.
std::size_t FirstDifference(const std::vector<std::int16_t>& got, const std::vector<std::int16_t>& want) {
  const std::size_t n = std::min(got.size(), want.size());
  for (std::size_t i = 0; i < n; ++i) {
    if (got[i] != want[i]) return i;
  }
  return n;
}

TYPED_TEST(WaveInContract, ListsItsDevicesByName) {
  // ALSA's default PCM, the preferred device, may be all there is: no entry.
  const unsigned n = this->wave().waveInGetNumDevs();
  std::vector<std::string> names;
  for (unsigned i = 0; i < n; ++i) {
    WAVEINCAPS caps;
    ASSERT_EQ(this->wave().waveInGetDevCaps(i, &caps), MMSYSERR_NOERROR);
    EXPECT_FALSE(caps.szPname.empty());
    EXPECT_TRUE(caps.wChannels == 1 || caps.wChannels == 2);
    names.push_back(caps.szPname);
  }
  this->env().CheckList(names);
  if (this->m_id != WAVE_MAPPER) {
    ASSERT_LT(this->m_id, n);
    EXPECT_EQ(names[this->m_id], this->env().DeviceName());
  }

  // What is captured says what it is.
  auto cap = this->OpenCapture();
  ASSERT_TRUE(cap);
  const WaveInStatus st = cap->Status();
  EXPECT_EQ(st.deviceName, this->env().DeviceName());
  EXPECT_EQ(st.demo, this->env().Demo());
  EXPECT_EQ(st.state, WaveInState::Running);
  EXPECT_EQ(st.overruns, 0u);
  EXPECT_EQ(cap->Close(), MMSYSERR_NOERROR);
}

TYPED_TEST(WaveInContract, ReturnsBuffersInQueueOrderEachFull) {
  auto cap = this->OpenCapture();
  ASSERT_TRUE(cap);
  cap->Queue(8, 2048);
  ASSERT_EQ(this->wave().waveInStart(cap->Handle()), MMSYSERR_NOERROR);
  this->env().StartInput();
  ASSERT_TRUE(cap->PumpUntil([&] { return cap->DataPosts() >= 8; }, this->env().FirstDataWithin() + 3s))
      << cap->DataPosts() << " of 8 buffers came back";
  cap->PumpFor(100ms);

  // One MM_WIM_DATA per buffer, in the order they were queued.
  const std::vector<WAVEHDR*> back = cap->Returned();
  ASSERT_EQ(back.size(), 8u);
  for (std::size_t i = 0; i < back.size(); ++i) {
    EXPECT_EQ(back[i], cap->Headers()[i].get()) << "buffer " << i;
    EXPECT_EQ(back[i]->dwBytesRecorded, back[i]->dwBufferLength) << "buffer " << i;
    EXPECT_TRUE(back[i]->dwFlags & WHDR_DONE);
    EXPECT_TRUE(back[i]->dwFlags & WHDR_PREPARED);
    EXPECT_FALSE(back[i]->dwFlags & WHDR_INQUEUE);
  }
  for (const Posted& p : cap->AllPosts()) {
    EXPECT_EQ(p.wParam, reinterpret_cast<std::uintptr_t>(cap->Handle()));
  }
  EXPECT_EQ(cap->Close(), MMSYSERR_NOERROR);
}

TYPED_TEST(WaveInContract, DeliversTheInputSampleForSample) {
  auto cap = this->OpenCapture();
  ASSERT_TRUE(cap);
  constexpr std::uint32_t kFrames = 4096;
  constexpr std::size_t kCompare = kInputFrames;  // the whole input
  // Enough buffers for all of it (and, for a sound server, its start-up
  // latency) without queuing again: ALSA's file PCM is not paced.
  const std::size_t lead = this->env().AlignsOnFirstNonZero() ? 5 * kRate : 0;
  cap->Queue(static_cast<unsigned>((lead + kCompare) / kFrames + 2), kFrames);
  ASSERT_EQ(this->wave().waveInStart(cap->Handle()), MMSYSERR_NOERROR);
  if (this->env().AlignsOnFirstNonZero()) {
    // A monitor starts late: what is played before it delivers is not heard.
    ASSERT_TRUE(cap->PumpUntil([&] { return cap->DataPosts() >= 1; }, this->env().FirstDataWithin()));
  }
  this->env().StartInput();

  std::vector<std::int16_t> got;
  std::size_t seen = 0;
  const bool enough = cap->PumpUntil(
      [&] {
        if (cap->DataPosts() == seen) return false;
        seen = cap->DataPosts();
        got = cap->ReturnedSamples();
        std::size_t first = 0;
        if (this->env().AlignsOnFirstNonZero()) {
          first = FirstNonZeroFrame(got, 2);
          if (first == static_cast<std::size_t>(-1)) return false;
        }
        return got.size() / 2 >= first + kCompare;
      },
      this->env().FirstDataWithin() + 5s);
  ASSERT_TRUE(enough) << "captured " << got.size() / 2 << " frames";

  std::size_t first = 0;
  if (this->env().AlignsOnFirstNonZero()) first = FirstNonZeroFrame(got, 2);
  const std::vector<std::int16_t> captured(got.begin() + static_cast<std::ptrdiff_t>(first * 2),
                                           got.begin() + static_cast<std::ptrdiff_t>((first + kCompare) * 2));
  const std::vector<std::int16_t> want = this->env().Expected(kCompare);
  const std::size_t diff = FirstDifference(captured, want);
  EXPECT_EQ(diff, want.size()) << "first difference at sample " << diff << " (frame " << diff / 2
                               << "): got " << (diff < captured.size() ? captured[diff] : 0)
                               << ", want " << (diff < want.size() ? want[diff] : 0);
  EXPECT_EQ(cap->Close(), MMSYSERR_NOERROR);
}

TYPED_TEST(WaveInContract, ResetBeforeStartReturnsEveryBufferEmpty) {
  auto cap = this->OpenCapture();
  ASSERT_TRUE(cap);
  cap->Queue(4, 1024);
  ASSERT_EQ(this->wave().waveInReset(cap->Handle()), MMSYSERR_NOERROR);
  cap->Pump();
  const std::vector<WAVEHDR*> back = cap->Returned();
  ASSERT_EQ(back.size(), 4u);
  for (std::size_t i = 0; i < back.size(); ++i) {
    EXPECT_EQ(back[i], cap->Headers()[i].get());
    EXPECT_EQ(back[i]->dwBytesRecorded, 0u);
    EXPECT_TRUE(back[i]->dwFlags & WHDR_DONE);
    EXPECT_FALSE(back[i]->dwFlags & WHDR_INQUEUE);
  }
  EXPECT_EQ(cap->Close(), MMSYSERR_NOERROR);
}

TYPED_TEST(WaveInContract, ResetDuringCaptureReturnsEveryQueuedBuffer) {
  auto cap = this->OpenCapture();
  ASSERT_TRUE(cap);
  cap->Queue(6, 4096);
  ASSERT_EQ(this->wave().waveInStart(cap->Handle()), MMSYSERR_NOERROR);
  this->env().StartInput();
  ASSERT_TRUE(cap->PumpUntil([&] { return cap->DataPosts() >= 1; }, this->env().FirstDataWithin() + 2s));
  ASSERT_EQ(this->wave().waveInReset(cap->Handle()), MMSYSERR_NOERROR);
  cap->Pump();
  const std::size_t full = std::count_if(cap->Headers().begin(), cap->Headers().end(), [](const auto& h) {
    return h->dwBytesRecorded == h->dwBufferLength;
  });

  // Every buffer has come back exactly once, in queue order; the ones
  // returned by the reset hold what had been filled.
  const std::vector<WAVEHDR*> back = cap->Returned();
  ASSERT_EQ(back.size(), 6u);
  for (std::size_t i = 0; i < back.size(); ++i) {
    EXPECT_EQ(back[i], cap->Headers()[i].get());
    EXPECT_TRUE(back[i]->dwFlags & WHDR_DONE);
    EXPECT_FALSE(back[i]->dwFlags & WHDR_INQUEUE);
    EXPECT_LE(back[i]->dwBytesRecorded, back[i]->dwBufferLength);
  }
  EXPECT_GE(full, 1u);
  // Nothing comes after the reset.
  cap->PumpFor(200ms);
  EXPECT_EQ(cap->DataPosts(), 6u);
  EXPECT_EQ(cap->Close(), MMSYSERR_NOERROR);
}

TYPED_TEST(WaveInContract, RefusesToCloseWhileBuffersAreQueued) {
  auto cap = this->OpenCapture();
  ASSERT_TRUE(cap);
  IWaveIn& w = this->wave();
  const HWAVEIN h = cap->Handle();
  cap->Queue(2, 1024);
  WAVEHDR* first = cap->Headers()[0].get();

  EXPECT_EQ(w.waveInClose(h), WAVERR_STILLPLAYING);
  EXPECT_EQ(w.waveInUnprepareHeader(h, first), WAVERR_STILLPLAYING);
  EXPECT_EQ(w.waveInAddBuffer(h, first), WAVERR_STILLPLAYING);  // already queued
  std::vector<char> block(4096);
  WAVEHDR loose;
  loose.lpData = block.data();
  loose.dwBufferLength = static_cast<std::uint32_t>(block.size());
  EXPECT_EQ(w.waveInAddBuffer(h, &loose), WAVERR_UNPREPARED);
  EXPECT_EQ(w.waveInPrepareHeader(h, nullptr), MMSYSERR_INVALPARAM);

  ASSERT_EQ(w.waveInReset(h), MMSYSERR_NOERROR);
  cap->Pump();
  EXPECT_EQ(cap->DataPosts(), 2u);
  EXPECT_EQ(w.waveInUnprepareHeader(h, first), MMSYSERR_NOERROR);
  EXPECT_FALSE(first->dwFlags & WHDR_PREPARED);
  EXPECT_EQ(cap->Close(), MMSYSERR_NOERROR);
  // The handle is gone.
  EXPECT_EQ(w.waveInStart(h), MMSYSERR_INVALHANDLE);
  EXPECT_EQ(w.waveInClose(h), MMSYSERR_INVALHANDLE);
}

TYPED_TEST(WaveInContract, CountsOverrunsWhenBuffersAreNotQueuedAgain) {
  auto cap = this->OpenCapture();
  ASSERT_TRUE(cap);
  cap->Queue(2, 1024);
  // Bounds, not timings: a loaded machine makes everything come later, so
  // the test waits (generously) for what must come, and checks against the
  // time that passed only what can never be more than the time allows.
  const auto started = std::chrono::steady_clock::now();
  ASSERT_EQ(this->wave().waveInStart(cap->Handle()), MMSYSERR_NOERROR);
  this->env().StartInput();
  ASSERT_TRUE(cap->PumpUntil([&] { return cap->DataPosts() == 2; }, this->env().FirstDataWithin() + 30s));
  const std::size_t statusBefore = cap->StatusPosts();
  const auto t0 = std::chrono::steady_clock::now();
  ASSERT_TRUE(cap->PumpUntil([&] { return cap->Status().overruns >= 1 && cap->StatusPosts() > statusBefore; },
                             30s))
      << "overruns " << cap->Status().overruns;
  // Counted in buffers' worth: 44100 frames a second make 43 buffers of 1024.
  // A paced source counts about a second's worth; the others at least a few.
  const std::uint64_t wanted = this->env().Paced() ? kRate / 1024 : 3;
  ASSERT_TRUE(cap->PumpUntil([&] { return cap->Status().overruns >= wanted; }, 60s))
      << "overruns " << cap->Status().overruns;
  const auto elapsed = std::chrono::steady_clock::now() - t0;
  if (elapsed < 1s) cap->PumpFor(std::chrono::duration_cast<std::chrono::milliseconds>(1s - elapsed));
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  const double sinceStart = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  const WaveInStatus st = cap->Status();
  // Told at most a few times a second, not once per buffer.
  EXPECT_LE(cap->StatusPosts() - statusBefore, static_cast<std::size_t>(seconds * 4) + 2);
  if (this->env().Paced()) {
    // Never more buffers than the source delivered in the time.
    EXPECT_LE(static_cast<double>(st.overruns), sinceStart * kRate / 1024 * 1.1 + 3) << "after " << sinceStart << " s";
  }
  EXPECT_EQ(cap->DataPosts(), 2u);
  EXPECT_EQ(cap->Close(), MMSYSERR_NOERROR);
}

TYPED_TEST(WaveInContract, StopPausesAndStartResumes) {
  auto cap = this->OpenCapture();
  ASSERT_TRUE(cap);
  IWaveIn& w = this->wave();
  // Paced sources are queued again as they come back, which keeps up with
  // them; ALSA's file PCM is faster than that.
  const bool paced = this->env().Paced();
  cap->Recirculate(paced);
  // Enough buffers (0.7 s) that a loaded machine's late pumping does not
  // make the source overrun.
  cap->Queue(16, 2048);
  ASSERT_EQ(w.waveInStart(cap->Handle()), MMSYSERR_NOERROR);
  this->env().StartInput();
  ASSERT_TRUE(cap->PumpUntil([&] { return cap->DataPosts() >= 4; }, this->env().FirstDataWithin() + 30s));
  ASSERT_EQ(w.waveInStop(cap->Handle()), MMSYSERR_NOERROR);
  cap->Pump();
  // Buffers queued while stopped stay queued, and nothing comes back.
  cap->Queue(2, 2048);
  const std::size_t stopped = cap->DataPosts();
  cap->PumpFor(300ms);
  EXPECT_EQ(cap->DataPosts(), stopped) << "buffers came back while stopped";
  const std::size_t queued = std::count_if(cap->Headers().begin(), cap->Headers().end(),
                                           [](const auto& h) { return (h->dwFlags & WHDR_INQUEUE) != 0; });
  EXPECT_GE(queued, 2u);

  ASSERT_EQ(w.waveInStart(cap->Handle()), MMSYSERR_NOERROR);
  ASSERT_TRUE(cap->PumpUntil([&] { return cap->DataPosts() >= stopped + 2; }, this->env().FirstDataWithin() + 30s));
  if (paced) {
    // Nothing was lost or repeated across the pause.
    const std::vector<std::int16_t>& data = cap->Data();
    const std::vector<std::int16_t> want = this->env().Expected(data.size() / 2);
    EXPECT_EQ(FirstDifference(data, want), want.size());
    EXPECT_EQ(cap->Status().overruns, 0u);
  }
  EXPECT_EQ(cap->Close(), MMSYSERR_NOERROR);
}

TYPED_TEST(WaveInContract, LeavesNoThreadBehind) {
  // Some runtimes (ThreadSanitizer's) start a helper thread of their own at
  // the first thread the process creates: let that happen before counting.
  std::thread([] {}).join();
  // A joined thread may take a moment to leave /proc: count once it is gone.
  auto settled = [] {
    int n = ThreadCount();
    for (int i = 0; i < 100; ++i) {
      std::this_thread::sleep_for(10ms);
      const int m = ThreadCount();
      if (m == n) break;
      n = m;
    }
    return n;
  };
  const int before = settled();
  {
    auto cap = this->OpenCapture();
    ASSERT_TRUE(cap);
    cap->Queue(4, 1024);
    IWaveIn& w = this->wave();
    ASSERT_EQ(w.waveInStart(cap->Handle()), MMSYSERR_NOERROR);
    cap->PumpUntil([&] { return cap->DataPosts() >= 1; }, 1500ms);
    EXPECT_EQ(w.waveInStop(cap->Handle()), MMSYSERR_NOERROR);
    EXPECT_EQ(w.waveInStart(cap->Handle()), MMSYSERR_NOERROR);
    EXPECT_EQ(cap->Close(), MMSYSERR_NOERROR);
  }
  {
    // Opened and closed without ever starting.
    auto cap = this->OpenCapture();
    ASSERT_TRUE(cap);
    EXPECT_EQ(cap->Close(), MMSYSERR_NOERROR);
  }
  for (int i = 0; i < 100 && ThreadCount() > before; ++i) std::this_thread::sleep_for(10ms);
  EXPECT_LE(ThreadCount(), before);
}

TYPED_TEST(WaveInContract, RefusesFormatsItCannotTake) {
  IWaveIn& w = this->wave();
  ui::HeadlessHost host;
  RecorderDialog dialog;
  ui::HeadlessWindow& window = host.Open(dialog);
  auto expectRefused = [&](WAVEFORMATEX f, const char* what) {
    HWAVEIN h = reinterpret_cast<HWAVEIN>(&f);
    EXPECT_EQ(w.waveInOpen(&h, this->m_id, f, &window), WAVERR_BADFORMAT) << what;
    EXPECT_EQ(h, nullptr) << what;
  };
  WAVEFORMATEX f = this->env().Format();
  f.wBitsPerSample = 8;
  f.nBlockAlign = 2;
  f.nAvgBytesPerSec = 2 * kRate;
  expectRefused(f, "8-bit");
  f = Pcm16(kRate, 3);
  expectRefused(f, "3 channels");
  f = this->env().Format();
  f.wFormatTag = 3;  // IEEE float
  f.wBitsPerSample = 32;
  f.nBlockAlign = 8;
  f.nAvgBytesPerSec = 8 * kRate;
  expectRefused(f, "float");
  f = this->env().Format();
  f.nBlockAlign = 3;
  expectRefused(f, "inconsistent block align");
  f = Pcm16(0, 2);
  expectRefused(f, "rate 0");

  // Another rate or channel count: the sound systems convert, the file does not.
  for (const WAVEFORMATEX& other : {Pcm16(48000, 2), Pcm16(kRate, 1)}) {
    HWAVEIN h = nullptr;
    const MMRESULT r = w.waveInOpen(&h, this->m_id, other, &window);
    if (this->env().TakesOtherFormats()) {
      EXPECT_EQ(r, MMSYSERR_NOERROR) << other.nSamplesPerSec << " Hz, " << other.nChannels << " ch";
      if (r == MMSYSERR_NOERROR) {
        EXPECT_EQ(w.waveInClose(h), MMSYSERR_NOERROR);
      }
    } else {
      EXPECT_EQ(r, WAVERR_BADFORMAT) << other.nSamplesPerSec << " Hz, " << other.nChannels << " ch";
    }
  }
  host.Destroy(window);
}

TYPED_TEST(WaveInContract, RefusesDeviceIdsOutOfRange) {
  IWaveIn& w = this->wave();
  ui::HeadlessHost host;
  RecorderDialog dialog;
  ui::HeadlessWindow& window = host.Open(dialog);
  const unsigned n = w.waveInGetNumDevs();
  HWAVEIN h = nullptr;
  EXPECT_EQ(w.waveInOpen(&h, n, this->env().Format(), &window), MMSYSERR_BADDEVICEID);
  EXPECT_EQ(w.waveInOpen(&h, n + 7, this->env().Format(), &window), MMSYSERR_BADDEVICEID);
  EXPECT_EQ(h, nullptr);
  WAVEINCAPS caps;
  EXPECT_EQ(w.waveInGetDevCaps(n, &caps), MMSYSERR_BADDEVICEID);
  EXPECT_EQ(w.waveInOpen(nullptr, this->m_id, this->env().Format(), &window), MMSYSERR_INVALPARAM);
  host.Destroy(window);
}

}  // namespace
}  // namespace mivo::platform
