#include "platform/wavein/pulse_input.h"

#include <pulse/pulseaudio.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "platform/sync/thread.h"

namespace mivo::platform {
namespace {

// The longest a connection attempt may take, so that start-up never hangs on
// a server that does not answer.
constexpr pa_usec_t kConnectTimeoutUsec = 2 * PA_USEC_PER_SEC;
// While a device is lost, how often it tries to reopen its source.
constexpr pa_usec_t kRetryUsec = 500 * PA_USEC_PER_MSEC;

constexpr const char* kClientName = "Mivo";
constexpr const char* kStreamName = "録音";

struct SourceEntry {
  std::string name;         // the server's name, e.g. "recsink.monitor"
  std::string description;  // what the user sees, e.g. "Monitor of RecTestSink"
  std::uint16_t channels = 2;
};

struct ServerSnapshot {
  std::string defaultSource;
  std::vector<SourceEntry> sources;
};

timeval InUsec(pa_usec_t usec) {
  timeval tv{};
  pa_gettimeofday(&tv);
  pa_timeval_add(&tv, usec);
  return tv;
}

// ---------------------------------------------------------------------------
// The device list: one short connection on a mainloop of our own.

struct MainloopDeleter {
  void operator()(pa_mainloop* m) const { pa_mainloop_free(m); }
};
struct ContextDeleter {
  void operator()(pa_context* c) const {
    pa_context_set_state_callback(c, nullptr, nullptr);
    pa_context_disconnect(c);
    pa_context_unref(c);
  }
};
struct OperationDeleter {
  void operator()(pa_operation* o) const {
    pa_operation_cancel(o);
    pa_operation_unref(o);
  }
};
using MainloopPtr = std::unique_ptr<pa_mainloop, MainloopDeleter>;
using ContextPtr = std::unique_ptr<pa_context, ContextDeleter>;
using OperationPtr = std::unique_ptr<pa_operation, OperationDeleter>;

struct ProbeState {
  ServerSnapshot snapshot;
  bool serverDone = false;
  bool sourcesDone = false;
};

void OnServerInfo(pa_context*, const pa_server_info* info, void* userdata) {
  auto* st = static_cast<ProbeState*>(userdata);
  if (info != nullptr && info->default_source_name != nullptr) {
    st->snapshot.defaultSource = info->default_source_name;
  }
  st->serverDone = true;
}

void OnSourceInfo(pa_context*, const pa_source_info* info, int eol, void* userdata) {
  auto* st = static_cast<ProbeState*>(userdata);
  if (eol != 0 || info == nullptr) {
    st->sourcesDone = true;
    return;
  }
  SourceEntry e;
  e.name = info->name != nullptr ? info->name : "";
  e.description = info->description != nullptr && info->description[0] != '\0' ? info->description : e.name;
  e.channels = info->sample_spec.channels >= 2 ? 2 : 1;
  st->snapshot.sources.push_back(std::move(e));
}

// Runs `ml` until `done` or the deadline. False on the deadline.
template <typename Done>
bool RunUntil(pa_mainloop* ml, std::chrono::steady_clock::time_point deadline, Done done) {
  while (!done()) {
    const auto left = deadline - std::chrono::steady_clock::now();
    if (left <= std::chrono::steady_clock::duration::zero()) return false;
    const auto usec = std::chrono::duration_cast<std::chrono::microseconds>(left).count();
    if (pa_mainloop_prepare(ml, static_cast<int>(usec)) < 0) return false;
    if (pa_mainloop_poll(ml) < 0) return false;
    if (pa_mainloop_dispatch(ml) < 0) return false;
  }
  return true;
}

Presence ProbeServer(ServerSnapshot* out) {
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::microseconds(kConnectTimeoutUsec);
  MainloopPtr ml(pa_mainloop_new());
  if (!ml) return Presence::Absent;
  ContextPtr ctx(pa_context_new(pa_mainloop_get_api(ml.get()), kClientName));
  if (!ctx) return Presence::Absent;
  if (pa_context_connect(ctx.get(), nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
    return Presence::Absent;
  }
  pa_context* c = ctx.get();
  const bool settled = RunUntil(ml.get(), deadline, [c] {
    const pa_context_state_t s = pa_context_get_state(c);
    return s == PA_CONTEXT_READY || !PA_CONTEXT_IS_GOOD(s);
  });
  if (!settled) return Presence::NotAnswering;
  if (pa_context_get_state(c) != PA_CONTEXT_READY) return Presence::Absent;

  ProbeState st;
  OperationPtr opServer(pa_context_get_server_info(c, OnServerInfo, &st));
  OperationPtr opSources(pa_context_get_source_info_list(c, OnSourceInfo, &st));
  if (!opServer || !opSources) return Presence::Absent;
  if (!RunUntil(ml.get(), deadline, [&st, c] {
        return (st.serverDone && st.sourcesDone) || !PA_CONTEXT_IS_GOOD(pa_context_get_state(c));
      })) {
    return Presence::NotAnswering;
  }
  if (!st.serverDone || !st.sourcesDone) return Presence::Absent;  // it went away meanwhile
  *out = std::move(st.snapshot);
  return Presence::Answered;
}

// ---------------------------------------------------------------------------
// One open source: a threaded mainloop, a context and a record stream of its
// own. Everything below runs on the mainloop's thread or under its lock.

class PulseDevice final : public WaveInDevice {
 public:
  PulseDevice(ui::IWindow* window, const WAVEFORMATEX& format, std::string description,
              std::string sourceName)
      : WaveInDevice(window, format, std::move(description), false),
        m_strSource(std::move(sourceName)) {
    m_spec.format = PA_SAMPLE_S16LE;
    m_spec.rate = format.nSamplesPerSec;
    m_spec.channels = static_cast<std::uint8_t>(format.nChannels);
    pa_channel_map_init_auto(&m_map, m_spec.channels, PA_CHANNEL_MAP_DEFAULT);
  }
  ~PulseDevice() override { Shutdown(); }

  // Connects and opens the stream (corked) within the time limit.
  MMRESULT Open();

 protected:
  void BeginCapture() override;
  void PauseCapture() override;
  void Shutdown() override;

 private:
  enum class Phase { Opening, Open, Lost };

  bool StartContext();
  bool StartStream();
  void TearDown();
  void OnLost();
  void ApplyFragmentSize();

  static void ContextStateCb(pa_context* c, void* userdata);
  static void StreamStateCb(pa_stream* s, void* userdata);
  static void StreamReadCb(pa_stream* s, std::size_t nbytes, void* userdata);
  static void TimerCb(pa_mainloop_api* api, pa_time_event* e, const timeval* tv, void* userdata);
  static void RaisePriorityCb(pa_mainloop_api* api, void* userdata);

  const std::string m_strSource;
  pa_sample_spec m_spec{};
  pa_channel_map m_map{};

  pa_threaded_mainloop* m_ml = nullptr;
  pa_mainloop_api* m_api = nullptr;
  pa_context* m_ctx = nullptr;
  pa_stream* m_stream = nullptr;
  pa_time_event* m_timer = nullptr;

  Phase m_phase = Phase::Opening;
  bool m_bTimedOut = false;      // Opening: the time limit passed
  bool m_bCorked = true;         // what the window thread asked for
  bool m_bAttemptFailed = false; // Lost: the current reconnection attempt failed
  pa_usec_t m_attemptStart = 0;
  std::uint32_t m_dwFragment = 0;
};

MMRESULT PulseDevice::Open() {
  m_ml = pa_threaded_mainloop_new();
  if (m_ml == nullptr) return MMSYSERR_NOMEM;
  pa_threaded_mainloop_set_name(m_ml, "mivo-pulse");
  m_api = pa_threaded_mainloop_get_api(m_ml);
  if (pa_threaded_mainloop_start(m_ml) < 0) {
    pa_threaded_mainloop_free(m_ml);
    m_ml = nullptr;
    return MMSYSERR_ERROR;
  }
  pa_threaded_mainloop_lock(m_ml);
  // Run once by the loop's own thread. (pa_threaded_mainloop_once_unlocked would leak its
  // callback record when the loop is stopped before it ran, as when the server is gone.)
  pa_mainloop_api_once(m_api, RaisePriorityCb, nullptr);
  const timeval deadline = InUsec(kConnectTimeoutUsec);
  m_timer = m_api->time_new(m_api, &deadline, TimerCb, this);
  MMRESULT result = MMSYSERR_NOERROR;
  if (m_timer == nullptr) {
    result = MMSYSERR_NOMEM;
  } else if (!StartContext()) {
    result = MMSYSERR_NODRIVER;
  } else {
    for (;;) {
      const pa_context_state_t s = pa_context_get_state(m_ctx);
      if (s == PA_CONTEXT_READY) break;
      if (!PA_CONTEXT_IS_GOOD(s) || m_bTimedOut) {
        result = MMSYSERR_NODRIVER;
        break;
      }
      pa_threaded_mainloop_wait(m_ml);
    }
  }
  if (result == MMSYSERR_NOERROR) {
    if (!StartStream()) {
      result = pa_context_errno(m_ctx) == PA_ERR_INVALID ? WAVERR_BADFORMAT : MMSYSERR_ERROR;
    } else {
      for (;;) {
        const pa_stream_state_t s = pa_stream_get_state(m_stream);
        if (s == PA_STREAM_READY) break;
        if (!PA_STREAM_IS_GOOD(s) || m_bTimedOut) {
          switch (m_bTimedOut ? PA_ERR_TIMEOUT : pa_context_errno(m_ctx)) {
            case PA_ERR_NOENTITY: result = MMSYSERR_NODRIVER; break;  // no such source (any more)
            case PA_ERR_BUSY: result = MMSYSERR_ALLOCATED; break;
            case PA_ERR_NOTSUPPORTED:
            case PA_ERR_INVALID: result = WAVERR_BADFORMAT; break;
            case PA_ERR_CONNECTIONTERMINATED: result = MMSYSERR_NODRIVER; break;
            default: result = MMSYSERR_ERROR; break;
          }
          break;
        }
        pa_threaded_mainloop_wait(m_ml);
      }
    }
  }
  if (result == MMSYSERR_NOERROR) m_phase = Phase::Open;
  pa_threaded_mainloop_unlock(m_ml);
  if (result != MMSYSERR_NOERROR) Shutdown();
  return result;
}

bool PulseDevice::StartContext() {
  m_ctx = pa_context_new(m_api, kClientName);
  if (m_ctx == nullptr) return false;
  pa_context_set_state_callback(m_ctx, ContextStateCb, this);
  return pa_context_connect(m_ctx, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) >= 0;
}

bool PulseDevice::StartStream() {
  m_stream = pa_stream_new(m_ctx, kStreamName, &m_spec, &m_map);
  if (m_stream == nullptr) return false;
  pa_stream_set_state_callback(m_stream, StreamStateCb, this);
  pa_stream_set_read_callback(m_stream, StreamReadCb, this);
  // One buffer per fragment: the window is told as soon as a buffer is full.
  m_dwFragment = QueuedBufferBytes();
  pa_buffer_attr attr{};
  attr.maxlength = static_cast<std::uint32_t>(-1);
  attr.tlength = static_cast<std::uint32_t>(-1);
  attr.prebuf = static_cast<std::uint32_t>(-1);
  attr.minreq = static_cast<std::uint32_t>(-1);
  attr.fragsize = m_dwFragment;
  // A vanished source makes the stream fail (the device is then lost)
  // instead of moving it silently to another input.
  auto flags = static_cast<pa_stream_flags_t>(PA_STREAM_DONT_MOVE | PA_STREAM_ADJUST_LATENCY |
                                              (m_bCorked ? PA_STREAM_START_CORKED : 0));
  return pa_stream_connect_record(m_stream, m_strSource.c_str(), &attr, flags) >= 0;
}

void PulseDevice::TearDown() {
  if (m_stream != nullptr) {
    pa_stream_set_state_callback(m_stream, nullptr, nullptr);
    pa_stream_set_read_callback(m_stream, nullptr, nullptr);
    pa_stream_disconnect(m_stream);
    pa_stream_unref(m_stream);
    m_stream = nullptr;
  }
  if (m_ctx != nullptr) {
    pa_context_set_state_callback(m_ctx, nullptr, nullptr);
    pa_context_disconnect(m_ctx);
    pa_context_unref(m_ctx);
    m_ctx = nullptr;
  }
}

void PulseDevice::OnLost() {
  if (m_phase != Phase::Open) return;
  m_phase = Phase::Lost;
  SetLost(true);
  // The stream and context are released by the timer, outside their own callbacks.
  m_bAttemptFailed = true;
  const timeval tv = InUsec(kRetryUsec);
  m_api->time_restart(m_timer, &tv);
}

void PulseDevice::ApplyFragmentSize() {
  const std::uint32_t bytes = QueuedBufferBytes();
  if (m_stream == nullptr || bytes == m_dwFragment ||
      pa_stream_get_state(m_stream) != PA_STREAM_READY) {
    return;
  }
  m_dwFragment = bytes;
  pa_buffer_attr attr{};
  attr.maxlength = static_cast<std::uint32_t>(-1);
  attr.tlength = static_cast<std::uint32_t>(-1);
  attr.prebuf = static_cast<std::uint32_t>(-1);
  attr.minreq = static_cast<std::uint32_t>(-1);
  attr.fragsize = bytes;
  if (pa_operation* op = pa_stream_set_buffer_attr(m_stream, &attr, nullptr, nullptr)) {
    pa_operation_unref(op);
  }
}

void PulseDevice::BeginCapture() {
  if (m_ml == nullptr) return;
  pa_threaded_mainloop_lock(m_ml);
  m_bCorked = false;
  ApplyFragmentSize();
  if (m_stream != nullptr && pa_stream_get_state(m_stream) == PA_STREAM_READY) {
    if (pa_operation* op = pa_stream_cork(m_stream, 0, nullptr, nullptr)) pa_operation_unref(op);
  }
  pa_threaded_mainloop_unlock(m_ml);
}

void PulseDevice::PauseCapture() {
  if (m_ml == nullptr) return;
  pa_threaded_mainloop_lock(m_ml);
  m_bCorked = true;
  if (m_stream != nullptr && pa_stream_get_state(m_stream) == PA_STREAM_READY) {
    if (pa_operation* op = pa_stream_cork(m_stream, 1, nullptr, nullptr)) pa_operation_unref(op);
  }
  pa_threaded_mainloop_unlock(m_ml);
}

void PulseDevice::Shutdown() {
  if (m_ml == nullptr) return;
  pa_threaded_mainloop_lock(m_ml);
  TearDown();
  if (m_timer != nullptr) {
    m_api->time_free(m_timer);
    m_timer = nullptr;
  }
  pa_threaded_mainloop_unlock(m_ml);
  pa_threaded_mainloop_stop(m_ml);
  pa_threaded_mainloop_free(m_ml);
  m_ml = nullptr;
  m_api = nullptr;
}

void PulseDevice::ContextStateCb(pa_context* c, void* userdata) {
  auto* self = static_cast<PulseDevice*>(userdata);
  const pa_context_state_t s = pa_context_get_state(c);
  switch (self->m_phase) {
    case Phase::Opening:
      pa_threaded_mainloop_signal(self->m_ml, 0);
      break;
    case Phase::Open:
      if (!PA_CONTEXT_IS_GOOD(s)) self->OnLost();  // the server went away
      break;
    case Phase::Lost:
      if (s == PA_CONTEXT_READY) {
        if (!self->StartStream()) self->m_bAttemptFailed = true;
      } else if (!PA_CONTEXT_IS_GOOD(s)) {
        self->m_bAttemptFailed = true;
      }
      break;
  }
}

void PulseDevice::StreamStateCb(pa_stream* s, void* userdata) {
  auto* self = static_cast<PulseDevice*>(userdata);
  const pa_stream_state_t st = pa_stream_get_state(s);
  switch (self->m_phase) {
    case Phase::Opening:
      pa_threaded_mainloop_signal(self->m_ml, 0);
      break;
    case Phase::Open:
      if (!PA_STREAM_IS_GOOD(st)) self->OnLost();  // the source went away
      break;
    case Phase::Lost:
      if (st == PA_STREAM_READY) {
        self->m_phase = Phase::Open;
        self->SetLost(false);
        if (!self->m_bCorked) self->ApplyFragmentSize();
      } else if (!PA_STREAM_IS_GOOD(st)) {
        self->m_bAttemptFailed = true;
      }
      break;
  }
}

void PulseDevice::StreamReadCb(pa_stream* s, std::size_t, void* userdata) {
  auto* self = static_cast<PulseDevice*>(userdata);
  for (;;) {
    const void* data = nullptr;
    std::size_t bytes = 0;
    if (pa_stream_peek(s, &data, &bytes) < 0 || bytes == 0) return;
    // A hole (data == nullptr) is delivered as silence.
    static_cast<void>(self->Deliver(data, bytes));
    pa_stream_drop(s);
  }
}

void PulseDevice::TimerCb(pa_mainloop_api*, pa_time_event* e, const timeval*, void* userdata) {
  auto* self = static_cast<PulseDevice*>(userdata);
  switch (self->m_phase) {
    case Phase::Opening:
      self->m_bTimedOut = true;
      pa_threaded_mainloop_signal(self->m_ml, 0);
      return;
    case Phase::Open:
      return;
    case Phase::Lost:
      break;
  }
  // Try again from scratch when the last attempt failed or hangs.
  const pa_usec_t now = pa_rtclock_now();
  if (self->m_bAttemptFailed || now - self->m_attemptStart > kConnectTimeoutUsec) {
    self->TearDown();
    self->m_bAttemptFailed = false;
    self->m_attemptStart = now;
    if (!self->StartContext()) self->m_bAttemptFailed = true;
  }
  const timeval tv = InUsec(kRetryUsec);
  self->m_api->time_restart(e, &tv);
}

void PulseDevice::RaisePriorityCb(pa_mainloop_api*, void*) {
  static_cast<void>(SetCurrentThreadPriority(15));  // refused without the right: fine
}

// ---------------------------------------------------------------------------

class PulseBackend final : public IWaveInBackend {
 public:
  Presence Refresh() override {
    // Every look asks the server again (within its time limit): a Retry
    // after a failed open must see a server that has come meanwhile.
    ServerSnapshot snap;
    const Presence presence = ProbeServer(&snap);
    m_snapshot = presence == Presence::Answered ? std::move(snap) : ServerSnapshot{};
    m_caps.clear();
    for (const SourceEntry& e : m_snapshot.sources) {
      WAVEINCAPS caps;
      caps.szPname = e.description;
      caps.wChannels = e.channels;
      m_caps.push_back(std::move(caps));
    }
    return presence;
  }

  const std::vector<WAVEINCAPS>& Devices() const override { return m_caps; }

  bool HasPreferred() const override { return PreferredIndex() < m_snapshot.sources.size(); }

  MMRESULT Open(unsigned index, const WAVEFORMATEX& format, ui::IWindow* window,
                std::unique_ptr<WaveInDevice>* device) override {
    if (index == kPreferredDevice) index = static_cast<unsigned>(PreferredIndex());
    if (index >= m_snapshot.sources.size()) return MMSYSERR_NODRIVER;
    if (!IsSupportedPcm16(format)) return WAVERR_BADFORMAT;
    const SourceEntry& e = m_snapshot.sources[index];
    auto dev = std::make_unique<PulseDevice>(window, format, e.description, e.name);
    const MMRESULT r = dev->Open();
    if (r == MMSYSERR_NOERROR) *device = std::move(dev);
    return r;
  }

 private:
  // The default source, else the first one; sources.size() when there is none.
  std::size_t PreferredIndex() const {
    for (std::size_t i = 0; i < m_snapshot.sources.size(); ++i) {
      if (m_snapshot.sources[i].name == m_snapshot.defaultSource) return i;
    }
    return 0;
  }

  ServerSnapshot m_snapshot;
  std::vector<WAVEINCAPS> m_caps;
};

}  // namespace

std::unique_ptr<IWaveInBackend> CreatePulseBackend() { return std::make_unique<PulseBackend>(); }

}  // namespace mivo::platform
