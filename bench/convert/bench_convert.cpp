// The sample passes on 10 minutes of 48 kHz stereo, as times real time
// (counter "x_realtime"), beside a plain copy of the same file (the floor of
// a read-modify-write pass) and the nearest peers in SoX run on the same
// input: `sox norm`, `sox deemph` (SoX's filter takes 44.1 kHz only, so the
// de-emphasis pair also runs on a 44.1 kHz file of the same length) and
// `sox rate -v`.
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "convert/progress.h"
#include "convert/resample_precise.h"
#include "convert/sample_passes.h"
#include "convert/track_rewrite.h"

extern char** environ;

namespace mivo {
namespace {

namespace fs = std::filesystem;

constexpr double kSeconds = 600.0;

struct Quiet final : IProgress {
  void SetStageLabel(std::string_view) override {}
  void BeginTrackProgress(const std::int32_t*, int) override {}
  void BeginStage(std::int64_t) override {}
  void SetStagePos(std::int64_t) override {}
  void AdvanceStage(std::int64_t) override {}
};

// The benchmark's files, made once: 10 minutes at 48000 and at 44100 Hz
// of a signal with a DC offset, tones and noise (never clipping).
class Inputs {
 public:
  Inputs() {
    std::string pattern = (fs::temp_directory_path() / "mivo-bench-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) return;
    m_dir = pattern;
    m_ok = Make(In48(), 48000) && Make(In44(), 44100);
  }
  ~Inputs() {
    std::error_code ec;
    if (!m_dir.empty()) fs::remove_all(m_dir, ec);
  }
  bool Ok() const { return m_ok; }
  std::string In48() const { return m_dir + "/in48.wav"; }
  std::string In44() const { return m_dir + "/in44.wav"; }
  std::string Work() const { return m_dir + "/work.wav"; }
  std::string Out() const { return m_dir + "/out.wav"; }

 private:
  static bool Make(const std::string& path, std::uint32_t rate) {
    const auto frames = static_cast<std::uint32_t>(kSeconds * rate);
    std::uint8_t h[46] = {};
    std::memcpy(h, "RIFF", 4);
    PutLe32(h + 4, frames * 4 + 38);
    std::memcpy(h + 8, "WAVEfmt ", 8);
    PutLe32(h + 16, 18);
    PutLe16(h + 20, 1);
    PutLe16(h + 22, 2);
    PutLe32(h + 24, rate);
    PutLe32(h + 28, rate * 4);
    PutLe16(h + 32, 4);
    PutLe16(h + 34, 16);
    std::memcpy(h + 38, "data", 4);
    PutLe32(h + 42, frames * 4);
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return false;
    bool ok = std::fwrite(h, 1, sizeof h, f) == sizeof h;
    std::vector<std::uint8_t> block(4 * 65536);
    std::uint32_t noise = 1;
    for (std::uint32_t done = 0; done < frames && ok;) {
      const std::uint32_t n = std::min<std::uint32_t>(65536, frames - done);
      for (std::uint32_t i = 0; i < n; ++i) {
        const double t = static_cast<double>(done + i) / rate;
        noise = noise * 1664525u + 1013904223u;
        const double hiss = (static_cast<int>(noise >> 20) - 2048) * 0.5;
        const double l = 300 + 9000 * std::sin(2 * M_PI * 440 * t) + 4000 * std::sin(2 * M_PI * 3100 * t) + hiss;
        const double r = -200 + 8000 * std::sin(2 * M_PI * 660 * t) + 5000 * std::sin(2 * M_PI * 97 * t) - hiss;
        PutLe16(&block[4 * i], static_cast<std::uint16_t>(static_cast<std::int16_t>(l)));
        PutLe16(&block[4 * i + 2], static_cast<std::uint16_t>(static_cast<std::int16_t>(r)));
      }
      ok = std::fwrite(block.data(), 4, n, f) == n;
      done += n;
    }
    return std::fclose(f) == 0 && ok;
  }

  std::string m_dir;
  bool m_ok = false;
};

const Inputs& Files() {
  static const Inputs inputs;
  return inputs;
}

// A plain copy through 256 KiB buffers; `sync` adds the fsync the passes do.
bool CopyFile(const std::string& from, const std::string& to, bool sync) {
  const int in = ::open(from.c_str(), O_RDONLY);
  const int out = ::open(to.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  bool ok = in >= 0 && out >= 0;
  std::vector<char> buf(256 * 1024);
  while (ok) {
    const ssize_t n = ::read(in, buf.data(), buf.size());
    if (n <= 0) {
      ok = n == 0;
      break;
    }
    ok = ::write(out, buf.data(), static_cast<std::size_t>(n)) == n;
  }
  if (ok && sync) ok = ::fsync(out) == 0;
  if (in >= 0) ::close(in);
  if (out >= 0) ok = ::close(out) == 0 && ok;
  return ok;
}

void Report(benchmark::State& state) {
  state.counters["x_realtime"] =
      benchmark::Counter(kSeconds * static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}

// Runs `pass` on a fresh copy of `input` each iteration; only the pass is timed.
template <class Pass>
void RunPass(benchmark::State& state, const std::string& input, Pass&& pass) {
  const Inputs& f = Files();
  if (!f.Ok()) {
    state.SkipWithError("cannot create the input files");
    return;
  }
  Quiet quiet;
  PassContext ctx{quiet, 0};
  ctx.syncToDisk = state.range(0) != 0;
  for (auto _ : state) {
    // The fresh copy is synced while the clock is stopped, so that its
    // dirty pages do not slow the timed pass's writes.
    state.PauseTiming();
    if (!CopyFile(input, f.Work(), true)) {
      state.SkipWithError("cannot copy the input");
      break;
    }
    state.ResumeTiming();
    if (!pass(f.Work(), ctx)) {
      state.SkipWithError("the pass failed");
      break;
    }
  }
  Report(state);
}

void BM_Copy(benchmark::State& state) {
  const Inputs& f = Files();
  for (auto _ : state) {
    if (!CopyFile(f.In48(), f.Out(), state.range(0) != 0)) state.SkipWithError("copy failed");
  }
  Report(state);
}

void BM_Normalize(benchmark::State& state) {
  RunPass(state, Files().In48(), [](const std::string& t, const PassContext& c) {
    return NormalizeWav(t, 17800, 300, -200, c);
  });
}

void BM_DeEmphasis48(benchmark::State& state) {
  RunPass(state, Files().In48(), [](const std::string& t, const PassContext& c) {
    return DeEmphasisWav(t, {48000}, c);
  });
}

void BM_DeEmphasis44(benchmark::State& state) {
  RunPass(state, Files().In44(), [](const std::string& t, const PassContext& c) {
    return DeEmphasisWav(t, {44100}, c);
  });
}

void BM_Linear(benchmark::State& state) {
  RunPass(state, Files().In48(), [](const std::string& t, const PassContext& c) { return Resample4844Linear(t, c); });
}

// range(0): sync, range(1): precision, range(2): kernel, range(3): threads
// (0: one per processor). The tables come from a cache filled before the
// clock starts, as in the recorder after its first track.
void BM_Precise(benchmark::State& state) {
  const auto precision = static_cast<int>(state.range(1));
  const auto kernel = static_cast<PreciseKernel>(state.range(2));
  const auto threads = static_cast<int>(state.range(3));
  if (!PreciseKernelSupported(kernel)) {
    state.SkipWithError("this processor lacks the kernel's instructions");
    return;
  }
  PreciseTableCache tables;
  static_cast<void>(tables.Get(48000, precision, 0.0, 0, kernel == PreciseKernel::Auto ? BestPreciseKernel() : kernel));
  RunPass(state, Files().In48(), [&](const std::string& t, const PassContext& c) {
    PassContext ctx = c;
    ctx.threads = threads;
    ctx.preciseTables = &tables;
    return Resample4844Precise(t, precision, 0.0, 0, 44100, ctx, kernel);
  });
}

// A peer: sox with its arguments, input to output.
void RunSox(benchmark::State& state, const std::string& input, std::vector<std::string> effect) {
  const Inputs& f = Files();
  std::vector<std::string> args = {"sox", "-q", input, f.Out()};
  args.insert(args.end(), effect.begin(), effect.end());
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  for (auto _ : state) {
    pid_t pid = 0;
    if (::posix_spawnp(&pid, "sox", nullptr, nullptr, argv.data(), environ) != 0) {
      state.SkipWithError("cannot start sox");
      break;
    }
    int status = 0;
    if (::waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
      state.SkipWithError("sox failed");
      break;
    }
  }
  Report(state);
}

void BM_SoxNorm(benchmark::State& state) { RunSox(state, Files().In48(), {"norm"}); }
void BM_SoxDeemph44(benchmark::State& state) { RunSox(state, Files().In44(), {"deemph"}); }
void BM_SoxRateV(benchmark::State& state) { RunSox(state, Files().In48(), {"rate", "-v", "44100"}); }

#define MIVO_BENCH(fn) BENCHMARK(fn)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3)

MIVO_BENCH(BM_Copy)->ArgName("sync")->Arg(0)->Arg(1);
MIVO_BENCH(BM_Normalize)->ArgName("sync")->Arg(0)->Arg(1);
MIVO_BENCH(BM_Linear)->ArgName("sync")->Arg(0)->Arg(1);
MIVO_BENCH(BM_DeEmphasis48)->ArgName("sync")->Arg(0);
MIVO_BENCH(BM_DeEmphasis44)->ArgName("sync")->Arg(0)->Arg(1);
constexpr int kAuto = static_cast<int>(PreciseKernel::Auto);
MIVO_BENCH(BM_Precise)
    ->ArgNames({"sync", "precision", "kernel", "threads"})
    ->ArgsProduct({{0}, {0, 1, 2, 3}, {kAuto}, {1, 0}})
    ->Args({1, 3, kAuto, 0})
    ->Args({0, 3, static_cast<int>(PreciseKernel::Lanes2), 1})
    ->Args({0, 3, static_cast<int>(PreciseKernel::Lanes4), 1})
    ->Args({0, 3, static_cast<int>(PreciseKernel::Lanes4Fused), 1})
    ->Args({0, 3, static_cast<int>(PreciseKernel::Lanes8), 1});
// The plain loop, for scale; at the lowest precision only (it runs long).
BENCHMARK(BM_Precise)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(1)
    ->ArgNames({"sync", "precision", "kernel", "threads"})
    ->Args({0, 0, static_cast<int>(PreciseKernel::Reference), 1});
MIVO_BENCH(BM_SoxNorm);
MIVO_BENCH(BM_SoxDeemph44);
MIVO_BENCH(BM_SoxRateV);

}  // namespace
}  // namespace mivo

BENCHMARK_MAIN();
