// The settings as the window thread last published them, for the worker
// thread to read without racing the window's changes.
#pragma once

#include <mutex>

#include "settings/recorder_settings.h"

namespace mivo {

class SharedSettings {
 public:
  void Publish(const RecorderSettings& settings) {
    std::lock_guard lock(m_mtx);
    m_settings = settings;
  }
  RecorderSettings Get() const {
    std::lock_guard lock(m_mtx);
    return m_settings;
  }

 private:
  mutable std::mutex m_mtx;
  RecorderSettings m_settings;
};

}  // namespace mivo
