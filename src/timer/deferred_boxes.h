// Message boxes of an unattended start. Restoring an armed timer happens
// while the window is being set up; a box shown then would hold everything
// up until someone answers it, so its text waits here until the timer is
// armed and the window runs, and is shown then.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "platform/ui/window.h"

namespace mivo {

class DeferredBoxes {
 public:
  void Add(std::string text, std::string caption, unsigned type) {
    m_boxes.push_back(Box{std::move(text), std::move(caption), type});
  }
  bool Empty() const { return m_boxes.empty(); }
  // Shows the waiting boxes in order and forgets them.
  void ShowAll(ui::IWindow& window) {
    std::vector<Box> boxes = std::exchange(m_boxes, {});
    for (const Box& box : boxes) window.MessageBox(box.text, box.caption, box.type);
  }

 private:
  struct Box {
    std::string text;
    std::string caption;
    unsigned type = 0;
  };
  std::vector<Box> m_boxes;
};

}  // namespace mivo
