// What the track writer and the silence splitter need of the recorder
// window's controller. Everything is called on the window's thread.
#pragma once

#include "platform/ui/window.h"

namespace mivo {

class IRecorderControl {
 public:
  virtual ~IRecorderControl() = default;
  // The recorder window: status 1006, file name 1002, temporary folder 1007,
  // queue length 1019, SKIP button 1030, message boxes.
  virtual ui::IWindow& Window() = 0;
  virtual bool IsRecording() const = 0;
  virtual bool IsSkip() const = 0;
  // A skipped track was deleted: clear the skip mark and enable SKIP again.
  virtual void EndSkip() = 0;
  // STOP, as the button does; it closes the open track through the writer.
  virtual void Stop() = 0;
};

}  // namespace mivo
