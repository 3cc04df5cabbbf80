// A 10-minute 44.1 kHz stereo track encoded at 128 kbit/s through the MP3
// bridge and libgogo, and by the lame program at the same settings (joint
// stereo, LAME quality 5, 16 kHz low-pass, no ReplayGain analysis), in the
// same run, alternating. Reported: the wall-clock seconds of each and
// speed_ratio = lame's time / the bridge's time (1.0: as fast as lame), and
// the same from processor time (cpu_ratio), which other programs running on
// the machine disturb less.
//
//   bench_mp3 [--minutes=N] [google benchmark options]
#include <benchmark/benchmark.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "convert/progress.h"
#include "encode/gogo_dll.h"
#include "platform/ui/headless/headless_host.h"
#include "settings/recorder_settings.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// Progress as the worker keeps it: a percentage recomputed per frame.
class CountingProgress final : public mivo::IProgress {
 public:
  void SetStageLabel(std::string_view) override {}
  void BeginTrackProgress(const std::int32_t*, int) override {}
  void BeginStage(std::int64_t units) override {
    m_total = units > 0 ? units : 1;
    m_pos = 0;
  }
  void SetStagePos(std::int64_t units) override {
    m_pos = units;
    m_percent = static_cast<int>(units * 100 / m_total);
  }
  void AdvanceStage(std::int64_t units) override { SetStagePos(m_pos + units); }
  int Percent() const { return m_percent; }

 private:
  std::int64_t m_total = 1, m_pos = 0;
  int m_percent = 0;
};

void Put16(std::vector<unsigned char>& b, unsigned v) {
  b.push_back(static_cast<unsigned char>(v));
  b.push_back(static_cast<unsigned char>(v >> 8));
}
void Put32(std::vector<unsigned char>& b, std::uint32_t v) {
  Put16(b, v & 0xFFFF);
  Put16(b, v >> 16);
}

// Music-like material: a few partials moving in pitch and level, and noise.
bool WriteTrack(const std::string& path, int minutes) {
  const std::uint32_t frames = static_cast<std::uint32_t>(minutes) * 60u * 44100u;
  std::vector<unsigned char> head;
  head.insert(head.end(), {'R', 'I', 'F', 'F'});
  Put32(head, frames * 4u + 38u);
  head.insert(head.end(), {'W', 'A', 'V', 'E', 'f', 'm', 't', ' '});
  Put32(head, 18);
  Put16(head, 1);
  Put16(head, 2);
  Put32(head, 44100);
  Put32(head, 176400);
  Put16(head, 4);
  Put16(head, 16);
  Put16(head, 0);
  head.insert(head.end(), {'d', 'a', 't', 'a'});
  Put32(head, frames * 4u);
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) return false;
  bool ok = std::fwrite(head.data(), 1, head.size(), f) == head.size();
  std::vector<unsigned char> block;
  std::uint32_t seed = 1;
  for (std::uint32_t i = 0; ok && i < frames; ++i) {
    const double t = i / 44100.0;
    const double base = 220.0 * (1.0 + 0.5 * std::sin(2 * M_PI * 0.05 * t));
    double l = 0, r = 0;
    for (int k = 1; k <= 5; ++k) {
      const double a = 0.12 / k * (1.0 + std::sin(2 * M_PI * 0.3 * k * t));
      l += a * std::sin(2 * M_PI * base * k * t);
      r += a * std::sin(2 * M_PI * base * k * 1.01 * t + k);
    }
    seed = seed * 1664525u + 1013904223u;
    const double noise = (static_cast<double>(seed >> 8) / (1u << 24) - 0.5) * 0.05;
    Put16(block, static_cast<std::uint16_t>(static_cast<std::int16_t>(std::lround((l + noise) * 32767))));
    Put16(block, static_cast<std::uint16_t>(static_cast<std::int16_t>(std::lround((r - noise) * 32767))));
    if (block.size() >= (1u << 16) || i + 1 == frames) {
      ok = std::fwrite(block.data(), 1, block.size(), f) == block.size();
      block.clear();
    }
  }
  return std::fclose(f) == 0 && ok;
}

double ThreadCpuSeconds() {
  timespec ts{};
  if (::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts) != 0) return 0;
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

double Seconds(const timeval& tv) { return static_cast<double>(tv.tv_sec) + static_cast<double>(tv.tv_usec) / 1e6; }

// Runs lame; *cpu receives the processor time it used.
bool RunLame(const std::string& in, const std::string& out, double* cpu) {
  std::vector<std::string> args = {"lame", "--silent", "-b", "128", "-m", "j", "-q", "5",
                                   "--lowpass", "16", "--noreplaygain", in, out};
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = 0;
  if (::posix_spawnp(&pid, "lame", nullptr, nullptr, argv.data(), environ) != 0) return false;
  int status = 0;
  rusage usage{};
  if (::wait4(pid, &status, 0, &usage) != pid) return false;
  *cpu = Seconds(usage.ru_utime) + Seconds(usage.ru_stime);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

struct Setup {
  std::string dir;
  std::string track;
  mivo::GogoDll dll;
};

void BM_Mp3BridgeAgainstLame(benchmark::State& state, Setup* setup) {
  mivo::ui::HeadlessHost host;
  mivo::RecorderSettings settings;  // joint stereo, 128 kbit/s, psychoacoustics off, 16 kHz low-pass
  const std::string ours = setup->dir + "/bridge.mp3";
  const std::string theirs = setup->dir + "/lame.mp3";
  double bridgeSeconds = 0, lameSeconds = 0, bridgeCpu = 0, lameCpu = 0;
  int round = 0;
  for (auto _ : state) {
    CountingProgress progress;
    double b = 0, l = 0;
    for (int step = 0; step < 2; ++step) {
      const bool bridgeFirst = (round % 2) == 0;
      const auto start = Clock::now();
      if ((step == 0) == bridgeFirst) {
        const double cpuStart = ThreadCpuSeconds();
        const bool ok = mivo::EncodeMp3(setup->dll, host, setup->track, ours, settings, progress);
        bridgeCpu += ThreadCpuSeconds() - cpuStart;
        if (!ok) {
          state.SkipWithError("the bridge failed to encode");
          return;
        }
        b = std::chrono::duration<double>(Clock::now() - start).count();
      } else {
        double cpu = 0;
        const bool ok = RunLame(setup->track, theirs, &cpu);
        lameCpu += cpu;
        if (!ok) {
          state.SkipWithError("the lame program failed (is it installed?)");
          return;
        }
        l = std::chrono::duration<double>(Clock::now() - start).count();
      }
    }
    ++round;
    state.SetIterationTime(b);
    bridgeSeconds += b;
    lameSeconds += l;
    benchmark::DoNotOptimize(progress.Percent());
  }
  state.counters["bridge_s"] = bridgeSeconds / round;
  state.counters["lame_s"] = lameSeconds / round;
  state.counters["speed_ratio"] = lameSeconds / bridgeSeconds;
  state.counters["bridge_cpu_s"] = bridgeCpu / round;
  state.counters["lame_cpu_s"] = lameCpu / round;
  state.counters["cpu_ratio"] = bridgeCpu > 0 ? lameCpu / bridgeCpu : 0;
  std::error_code ec;
  state.counters["bridge_bytes"] = static_cast<double>(fs::file_size(ours, ec));
  state.counters["lame_bytes"] = static_cast<double>(fs::file_size(theirs, ec));
}

}  // namespace

int main(int argc, char** argv) {
  int minutes = 10;
  std::vector<char*> rest;
  for (int i = 0; i < argc; ++i) {
    if (std::strncmp(argv[i], "--minutes=", 10) == 0) {
      minutes = std::max(1, std::atoi(argv[i] + 10));
    } else {
      rest.push_back(argv[i]);
    }
  }
  int restCount = static_cast<int>(rest.size());
  benchmark::Initialize(&restCount, rest.data());

  Setup setup;
  std::string pattern = (fs::temp_directory_path() / "mivo-bench-mp3-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) {
    std::fprintf(stderr, "bench_mp3: no temporary folder\n");
    return 1;
  }
  setup.dir = pattern;
  setup.track = setup.dir + "/track.wav";
  int status = 0;
  if (!WriteTrack(setup.track, minutes)) {
    std::fprintf(stderr, "bench_mp3: cannot write the test track in %s\n", setup.dir.c_str());
    status = 1;
  } else if (mivo::LoadGogoDll(setup.dll, mivo::GogoSearch{}) != mivo::kGogoLoaded) {
    std::fprintf(stderr, "bench_mp3: libgogo.so not found: %s\n", setup.dll.strLoadError.c_str());
    status = 1;
  } else {
    benchmark::RegisterBenchmark(("BM_Mp3BridgeAgainstLame/" + std::to_string(minutes) + "min").c_str(),
                                 BM_Mp3BridgeAgainstLame, &setup)
        ->Iterations(3)
        ->UseManualTime()
        ->Unit(benchmark::kSecond);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    mivo::FreeGogoDll(setup.dll);
  }
  std::error_code ec;
  fs::remove_all(setup.dir, ec);
  return status;
}
