#include "convert/queue_journal.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace mivo {
namespace {

constexpr std::string_view kMagic = "MIVO QUEUE JOURNAL 1\n";
constexpr std::uint8_t kRecording = 'R';
constexpr std::uint8_t kEntry = 'E';
// No record of a sane journal comes near this; a larger length is garbage.
constexpr std::uint32_t kMaxRecord = 1u << 20;
constexpr std::uint32_t kMaxText = 1u << 16;

// How long the worker waits for its record to reach the disk, and how often
// a failed write is tried again.
constexpr auto kWriteWait = std::chrono::seconds(10);
constexpr auto kRetry = std::chrono::seconds(1);

std::uint32_t Crc32(std::string_view bytes) {
  static const auto table = [] {
    std::array<std::uint32_t, 256> t{};
    for (std::uint32_t i = 0; i < 256; ++i) {
      std::uint32_t c = i;
      for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      t[i] = c;
    }
    return t;
  }();
  std::uint32_t c = 0xFFFFFFFFu;
  for (const char ch : bytes) c = table[(c ^ static_cast<std::uint8_t>(ch)) & 0xFF] ^ (c >> 8);
  return c ^ 0xFFFFFFFFu;
}

class Writer {
 public:
  void U8(std::uint8_t v) { m_out.push_back(static_cast<char>(v)); }
  void U16(std::uint16_t v) { Le(v, 2); }
  void U32(std::uint32_t v) { Le(v, 4); }
  void U64(std::uint64_t v) { Le(v, 8); }
  void I16(std::int16_t v) { U16(static_cast<std::uint16_t>(v)); }
  void I32(std::int32_t v) { U32(static_cast<std::uint32_t>(v)); }
  void I64(std::int64_t v) { U64(static_cast<std::uint64_t>(v)); }
  void Text(const std::string& s) {
    U32(static_cast<std::uint32_t>(s.size()));
    m_out.append(s);
  }
  void Id(const platform::FileId& id) {
    U64(id.dev);
    U64(id.ino);
    I64(id.size);
    I64(id.mtimeNs);
  }
  std::string& Out() { return m_out; }

 private:
  void Le(std::uint64_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) m_out.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
  }
  std::string m_out;
};

// Reads a payload; any read past its end marks it bad.
class Reader {
 public:
  explicit Reader(std::string_view in) : m_in(in) {}
  bool Ok() const { return m_bOk; }
  bool AtEnd() const { return m_pos == m_in.size(); }
  std::uint64_t Le(int bytes) {
    if (!m_bOk || m_in.size() - m_pos < static_cast<std::size_t>(bytes)) {
      m_bOk = false;
      return 0;
    }
    std::uint64_t v = 0;
    for (int i = bytes - 1; i >= 0; --i) v = (v << 8) | static_cast<std::uint8_t>(m_in[m_pos + static_cast<std::size_t>(i)]);
    m_pos += static_cast<std::size_t>(bytes);
    return v;
  }
  std::uint8_t U8() { return static_cast<std::uint8_t>(Le(1)); }
  std::uint32_t U32() { return static_cast<std::uint32_t>(Le(4)); }
  std::uint64_t U64() { return Le(8); }
  std::int16_t I16() { return static_cast<std::int16_t>(static_cast<std::uint16_t>(Le(2))); }
  std::int32_t I32() { return static_cast<std::int32_t>(U32()); }
  std::int64_t I64() { return static_cast<std::int64_t>(U64()); }
  bool Flag() {
    const std::uint8_t v = U8();
    if (v > 1) m_bOk = false;
    return v == 1;
  }
  std::string Text() {
    const std::uint32_t n = U32();
    if (!m_bOk || n > kMaxText || m_in.size() - m_pos < n) {
      m_bOk = false;
      return {};
    }
    std::string s(m_in.substr(m_pos, n));
    m_pos += n;
    return s;
  }
  platform::FileId Id() {
    platform::FileId id;
    id.dev = U64();
    id.ino = U64();
    id.size = I64();
    id.mtimeNs = I64();
    return id;
  }
  void Require(bool condition) { m_bOk = m_bOk && condition; }

 private:
  std::string_view m_in;
  std::size_t m_pos = 0;
  bool m_bOk = true;
};

bool ValidShortening(std::int32_t s) { return s == 0 || s == 2; }
bool ValidStep(std::uint8_t s) { return s < 32; }

void PutRecord(std::string& out, const std::string& payload) {
  Writer head;
  head.U32(static_cast<std::uint32_t>(payload.size()));
  head.U32(Crc32(payload));
  out += head.Out();
  out += payload;
}

std::string RecordingPayload(const RecordingTrack& r) {
  Writer w;
  w.U8(kRecording);
  w.Text(r.file);
  w.Id(r.id);
  w.U8(r.started ? 1 : 0);
  w.I64(r.startTime);
  w.I32(r.sampleRate);
  w.I32(r.headerShortening);
  w.U32(r.leadGapBytes);
  w.U32(r.bufferFrames);
  return std::move(w.Out());
}

std::string EntryPayload(const JournalEntry& j) {
  const QueueEntry& e = j.entry;
  Writer w;
  w.U8(kEntry);
  w.Text(e.file);
  w.I32(e.peak);
  w.I64(e.startTime);
  w.I32(e.dcL);
  w.I32(e.dcR);
  w.I32(e.sampleRate);
  w.I32(e.headerShortening);
  w.I16(e.rangeL.min);
  w.I16(e.rangeL.max);
  w.I16(e.rangeR.min);
  w.I16(e.rangeR.max);
  w.Id(j.version);
  w.U32(j.steps.ended);
  w.U32(j.steps.failed);
  const PendingStep& p = j.pending;
  w.U8(static_cast<std::uint8_t>(p.step));
  w.U8(p.output ? 1 : 0);
  w.U8(p.renaming ? 1 : 0);
  w.Text(p.temp);
  w.Text(p.target);
  w.Text(p.keep);
  w.Id(p.tempId);
  return std::move(w.Out());
}

bool ReadRecording(Reader& r, RecordingTrack* t) {
  t->active = true;
  t->file = r.Text();
  t->id = r.Id();
  t->started = r.Flag();
  t->startTime = r.I64();
  t->sampleRate = r.I32();
  t->headerShortening = r.I32();
  t->leadGapBytes = r.U32();
  t->bufferFrames = r.U32();
  r.Require(!t->file.empty() && t->sampleRate > 0 && ValidShortening(t->headerShortening) && t->bufferFrames > 0 &&
            t->leadGapBytes % 4 == 0);
  return r.Ok() && r.AtEnd();
}

bool ReadEntry(Reader& r, JournalEntry* j) {
  QueueEntry& e = j->entry;
  e.file = r.Text();
  e.peak = r.I32();
  e.startTime = r.I64();
  e.dcL = r.I32();
  e.dcR = r.I32();
  e.sampleRate = r.I32();
  e.headerShortening = r.I32();
  e.rangeL.min = r.I16();
  e.rangeL.max = r.I16();
  e.rangeR.min = r.I16();
  e.rangeR.max = r.I16();
  j->version = r.Id();
  j->steps.ended = r.U32();
  j->steps.failed = r.U32();
  PendingStep& p = j->pending;
  const std::uint8_t step = r.U8();
  p.step = static_cast<TrackStep>(step);
  p.output = r.Flag();
  p.renaming = r.Flag();
  p.temp = r.Text();
  p.target = r.Text();
  p.keep = r.Text();
  p.tempId = r.Id();
  r.Require(!e.file.empty() && e.sampleRate > 0 && ValidShortening(e.headerShortening) && ValidStep(step) &&
            (j->steps.failed & ~j->steps.ended) == 0 && (p.step == TrackStep::None || !p.target.empty()));
  return r.Ok() && r.AtEnd();
}

}  // namespace

std::string EncodeJournal(const JournalState& state) {
  std::string out(kMagic);
  if (state.recording.active) PutRecord(out, RecordingPayload(state.recording));
  for (const JournalEntry& j : state.entries) PutRecord(out, EntryPayload(j));
  return out;
}

DecodedJournal DecodeJournal(std::string_view bytes) {
  DecodedJournal d;
  if (bytes.empty()) return d;
  auto stop = [&](std::size_t at, const char* why) {
    d.damaged = true;
    d.usedBytes = at;
    d.why = why;
    return d;
  };
  if (bytes.substr(0, kMagic.size()) != kMagic) return stop(0, "not a queue journal");
  std::size_t pos = kMagic.size();
  while (pos < bytes.size()) {
    Reader head(bytes.substr(pos, 8));
    const std::uint32_t length = head.U32();
    const std::uint32_t crc = head.U32();
    if (!head.Ok()) return stop(pos, "a record is cut short");
    if (length == 0 || length > kMaxRecord) return stop(pos, "a record has an impossible length");
    if (bytes.size() - pos - 8 < length) return stop(pos, "a record is cut short");
    const std::string_view payload = bytes.substr(pos + 8, length);
    if (Crc32(payload) != crc) return stop(pos, "a record fails its checksum");
    Reader r(payload.substr(1));
    if (payload[0] == static_cast<char>(kRecording) && !d.state.recording.active) {
      RecordingTrack t;
      if (!ReadRecording(r, &t)) return stop(pos, "a record makes no sense");
      d.state.recording = std::move(t);
    } else if (payload[0] == static_cast<char>(kEntry)) {
      JournalEntry j;
      if (!ReadEntry(r, &j)) return stop(pos, "a record makes no sense");
      d.state.entries.push_back(std::move(j));
    } else {
      return stop(pos, "a record makes no sense");
    }
    pos += 8 + length;
  }
  d.usedBytes = pos;
  return d;
}

QueueJournal::QueueJournal(std::string path, Note note) : m_path(std::move(path)), m_note(std::move(note)) {}

QueueJournal::~QueueJournal() { Stop(); }

std::string QueueJournal::PathFor(const std::string& settingsPath) { return settingsPath + ".journal"; }

JournalState QueueJournal::Load() {
  // Left by a write that was cut short; the journal itself is whole.
  static_cast<void>(platform::RemoveFile(m_path + ".tmp"));
  std::string bytes;
  DecodedJournal decoded;
  if (!platform::ReadWholeFile(m_path, &bytes)) {
    if (errno == ENOENT) return {};
    decoded.damaged = true;
    decoded.why = std::string("it cannot be read (") + std::strerror(errno) + ")";
  } else {
    decoded = DecodeJournal(bytes);
  }
  if (decoded.damaged) {
    const std::string aside = m_path + ".bad";
    char where[96];
    std::snprintf(where, sizeof where, " at byte %zu of %zu", decoded.usedBytes, bytes.size());
    std::string line = "queue journal " + m_path + ": " + decoded.why + (bytes.empty() ? "" : where) + "; " +
                       std::to_string(decoded.state.entries.size() + (decoded.state.recording.active ? 1 : 0)) +
                       " track(s) read before it";
    if (::rename(m_path.c_str(), aside.c_str()) == 0) {
      line += "; the file is set aside as " + aside;
    } else {
      line += "; it cannot be set aside (" + std::string(std::strerror(errno)) + ") and will be replaced";
    }
    if (m_note) m_note(line);
  }
  return std::move(decoded.state);
}

void QueueJournal::Start(JournalState state) {
  {
    std::lock_guard lock(m_mtx);
    if (m_bRunning) return;
    m_state = std::move(state);
    ChangedLocked();
    m_bStop = false;
    m_bRunning = true;
  }
  std::string why;
  if (m_thread.Start([this] { Run(); }, &why)) return;
  {
    std::lock_guard lock(m_mtx);
    m_bNoThread = true;
  }
  if (m_note) m_note("queue journal " + m_path + ": no thread for it (" + why + "); each change is written as it is made");
  WriteWithoutThread();
}

void QueueJournal::Stop() {
  {
    std::lock_guard lock(m_mtx);
    m_bStop = true;
  }
  m_cvChanged.notify_all();
  m_thread.Join();
  WriteWithoutThread();  // what RecordingStarted left
  std::lock_guard lock(m_mtx);
  m_bRunning = false;
  m_bNoThread = false;
  m_cvWritten.notify_all();
}

void QueueJournal::WriteWithoutThread() {
  std::lock_guard writing(m_writeMtx);
  std::unique_lock lock(m_mtx);
  if (m_bNoThread) WriteChangeLocked(lock);
}

std::uint64_t QueueJournal::ChangedLocked() {
  ++m_nChanged;
  m_cvChanged.notify_all();
  return m_nChanged;
}

bool QueueJournal::WaitWritten(std::uint64_t change, std::chrono::milliseconds timeout) {
  WriteWithoutThread();
  std::unique_lock lock(m_mtx);
  m_cvWritten.wait_for(lock, timeout,
                       [&] { return m_nWritten >= change || m_nFailed >= change || !m_bRunning; });
  return m_nWritten >= change;
}

bool QueueJournal::Flush(std::chrono::milliseconds timeout) {
  std::uint64_t change = 0;
  {
    std::lock_guard lock(m_mtx);
    change = m_nChanged;
  }
  return WaitWritten(change, timeout);
}

JournalState QueueJournal::Contents() const {
  std::lock_guard lock(m_mtx);
  return m_state;
}

JournalEntry* QueueJournal::FindLocked(const std::string& file) {
  for (JournalEntry& j : m_state.entries) {
    if (j.entry.file == file) return &j;
  }
  return nullptr;
}

void QueueJournal::RecordingOpened(const RecordingTrack& track) {
  {
    std::lock_guard lock(m_mtx);
    m_state.recording = track;
    m_state.recording.active = true;
    ChangedLocked();
  }
  WriteWithoutThread();
}

void QueueJournal::RecordingStarted(std::int64_t startTime) {
  std::lock_guard lock(m_mtx);
  if (!m_state.recording.active) return;
  m_state.recording.started = true;
  m_state.recording.startTime = startTime;
  ChangedLocked();
}

void QueueJournal::RecordingDropped() {
  {
    std::lock_guard lock(m_mtx);
    if (!m_state.recording.active) return;
    m_state.recording = RecordingTrack{};
    ChangedLocked();
  }
  WriteWithoutThread();
}

void QueueJournal::Queued(const QueueEntry& entry, const platform::FileId& version) {
  {
    std::lock_guard lock(m_mtx);
    if (m_state.recording.active && m_state.recording.file == entry.file) m_state.recording = RecordingTrack{};
    if (FindLocked(entry.file) == nullptr) {
      JournalEntry j;
      j.entry = entry;
      j.version = version;
      m_state.entries.push_back(std::move(j));
    }
    ChangedLocked();
  }
  WriteWithoutThread();
}

StepsDone QueueJournal::Done(const QueueEntry& entry) {
  std::lock_guard lock(m_mtx);
  const JournalEntry* j = FindLocked(entry.file);
  return j != nullptr ? j->steps : StepsDone{};
}

void QueueJournal::OutputBegun(const QueueEntry& entry, TrackStep step, const ReplaceIntent& files) {
  std::uint64_t change = 0;
  {
    std::lock_guard lock(m_mtx);
    JournalEntry* j = FindLocked(entry.file);
    if (j == nullptr) return;
    j->pending = PendingStep{step, true, false, files.temp, files.target, {}, {}};
    change = ChangedLocked();
  }
  WaitWritten(change, kWriteWait);
}

void QueueJournal::Replacing(const QueueEntry& entry, TrackStep step, bool output, const ReplaceIntent& intent) {
  std::uint64_t change = 0;
  {
    std::lock_guard lock(m_mtx);
    JournalEntry* j = FindLocked(entry.file);
    if (j == nullptr) return;
    j->pending = PendingStep{step, output, true, intent.temp, intent.target, intent.keep, intent.tempId};
    change = ChangedLocked();
  }
  WaitWritten(change, kWriteWait);
}

void QueueJournal::StepEnded(const QueueEntry& entry, TrackStep step, bool failed) {
  std::uint64_t change = 0;
  {
    std::lock_guard lock(m_mtx);
    JournalEntry* j = FindLocked(entry.file);
    if (j == nullptr) return;
    PendingStep& p = j->pending;
    // A pass that put its result in place leaves the track as that result.
    if (!failed && p.step == step && p.renaming && !p.output) j->version = p.tempId;
    p = PendingStep{};
    j->steps.ended |= StepBit(step);
    if (failed) j->steps.failed |= StepBit(step);
    change = ChangedLocked();
  }
  WaitWritten(change, kWriteWait);
}

void QueueJournal::Finishing(const QueueEntry& entry) {
  std::uint64_t change = 0;
  {
    std::lock_guard lock(m_mtx);
    JournalEntry* j = FindLocked(entry.file);
    if (j == nullptr) return;
    j->pending = PendingStep{};
    j->pending.step = TrackStep::Finish;
    j->pending.target = entry.file;
    change = ChangedLocked();
  }
  WaitWritten(change, kWriteWait);
}

void QueueJournal::Removed(const QueueEntry& entry) {
  std::lock_guard lock(m_mtx);
  for (auto it = m_state.entries.begin(); it != m_state.entries.end(); ++it) {
    if (it->entry.file == entry.file) {
      m_state.entries.erase(it);
      ChangedLocked();
      return;
    }
  }
}

void QueueJournal::Run() {
  std::unique_lock lock(m_mtx);
  for (;;) {
    // After a failed write, the next try waits for the retry time.
    m_cvChanged.wait_for(lock, kRetry, [this] { return m_bStop || (m_nChanged != m_nWritten && !m_bFailing); });
    WriteChangeLocked(lock);
    // A change made while the last one was being written (the track that
    // went at termination) is still written before the thread ends; after
    // a failed write it is not waited for.
    if (m_bStop && (m_nChanged == m_nWritten || m_bFailing)) break;
  }
}

void QueueJournal::WriteChangeLocked(std::unique_lock<std::mutex>& lock) {
  if (m_nChanged == m_nWritten) return;
  const std::uint64_t change = m_nChanged;
  const std::string bytes = EncodeJournal(m_state);
  lock.unlock();
  std::string error;
  const bool ok = platform::ReplaceFileAtomically(m_path, bytes, &error);
  lock.lock();
  std::string line;
  if (ok) {
    if (m_bFailing) line = "queue journal " + m_path + " is written again";
    m_bFailing = false;
    m_nWritten = std::max(m_nWritten, change);
  } else {
    if (!m_bFailing) {
      line = "queue journal cannot be written: " + error +
             "; recording and conversion go on, and it is tried again every second";
    }
    m_bFailing = true;
    m_nFailed = std::max(m_nFailed, change);
  }
  m_cvWritten.notify_all();
  if (!line.empty() && m_note) {
    lock.unlock();
    m_note(line);
    lock.lock();
  }
}

}  // namespace mivo
