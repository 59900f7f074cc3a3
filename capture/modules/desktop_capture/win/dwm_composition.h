// Desktop composition, turned off while the GDI capturer lives (composed
// desktops make BitBlt slow) and back on afterwards. The entry is looked up
// at run time: a system without it leaves composition alone.
//
// Thread safety: none.
#pragma once

#include <memory>

namespace capture {

class DwmComposition {
 public:
  // Null when the composition entry is not there.
  static std::unique_ptr<DwmComposition> Load();
  // 0 turns composition off, 1 on.
  void Enable(unsigned action) const { enable_(action); }

 private:
  using EnableFn = int (*)(unsigned);
  explicit DwmComposition(EnableFn enable) : enable_(enable) {}
  EnableFn enable_;
};

}  // namespace capture
