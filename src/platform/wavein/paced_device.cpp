#include "platform/wavein/paced_device.h"

#include <time.h>

#include <cerrno>
#include <utility>

#include "platform/sync/thread.h"

namespace mivo::platform {
namespace {

constexpr std::int64_t kNsPerSec = 1000000000;
// Behind by more than this (a suspended machine, a stopped debugger), the
// pace starts again from now instead of catching up in a burst.
constexpr std::int64_t kMaxLagNs = kNsPerSec;

std::int64_t MonotonicNs() {
  timespec ts{};
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<std::int64_t>(ts.tv_sec) * kNsPerSec + ts.tv_nsec;
}

void SleepUntilNs(std::int64_t deadline) {
  timespec ts{};
  ts.tv_sec = static_cast<time_t>(deadline / kNsPerSec);
  ts.tv_nsec = static_cast<long>(deadline % kNsPerSec);
  while (::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
  }
}

// Nanoseconds that `frames` frames last at `rate`, without overflow for any
// length a recording can have.
std::int64_t FramesToNs(std::uint64_t frames, std::uint32_t rate) {
  return static_cast<std::int64_t>((frames / rate) * kNsPerSec + (frames % rate) * kNsPerSec / rate);
}

}  // namespace

PacedDevice::PacedDevice(ui::IWindow* window, const WAVEFORMATEX& format, std::string name,
                         bool demo, std::unique_ptr<IPacedSource> source)
    : WaveInDevice(window, format, std::move(name), demo), m_source(std::move(source)) {
  m_nChunkFrames = format.nSamplesPerSec / 100;
  if (m_nChunkFrames == 0) m_nChunkFrames = 1;
  m_scratch.resize(m_nChunkFrames * format.nBlockAlign);
}

PacedDevice::~PacedDevice() { Shutdown(); }

bool PacedDevice::Launch() { return m_thread.Start([this] { Run(); }); }

void PacedDevice::BeginCapture() {
  std::lock_guard lock(m_mtxCtl);
  m_bWanted = true;
  m_cvCtl.notify_all();
}

void PacedDevice::PauseCapture() {
  std::lock_guard lock(m_mtxCtl);
  m_bWanted = false;
}

void PacedDevice::Shutdown() {
  {
    std::lock_guard lock(m_mtxCtl);
    m_bQuit = true;
    m_cvCtl.notify_all();
  }
  m_thread.Join();
}

void PacedDevice::Run() {
  static_cast<void>(SetCurrentThreadPriority(15));  // refused without the right: fine
  const std::uint32_t rate = Format().nSamplesPerSec;
  const std::size_t bytes = m_scratch.size();
  std::uint64_t position = 0;  // the source's next frame
  std::int64_t base = 0;       // when the frames paced since then began
  std::uint64_t paced = 0;
  bool rebase = true;

  std::unique_lock lock(m_mtxCtl);
  while (!m_bQuit) {
    if (!m_bWanted) {
      m_cvCtl.wait(lock, [this] { return m_bQuit || m_bWanted; });
      rebase = true;
      continue;
    }
    lock.unlock();
    if (rebase) {
      base = MonotonicNs();
      paced = 0;
      rebase = false;
    }
    // A chunk is delivered when it has been "recorded": at the end of its time.
    const std::int64_t deadline = base + FramesToNs(paced + m_nChunkFrames, rate);
    SleepUntilNs(deadline);
    m_source->Render(position, m_scratch.data(), m_nChunkFrames);
    // While stopped nothing is taken and the source stays where it is.
    if (Deliver(m_scratch.data(), bytes)) position += m_nChunkFrames;
    paced += m_nChunkFrames;
    if (MonotonicNs() - deadline > kMaxLagNs) rebase = true;
    lock.lock();
  }
}

}  // namespace mivo::platform
