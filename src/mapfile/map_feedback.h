// The seam through which the map loader reaches the user: the hourglass, the error box
// and the clock. The parser itself stays free of any user interface.
#pragma once

#include <cstdint>
#include <string>

namespace ostrel {

class TMapFeedback {
 public:
  virtual ~TMapFeedback() = default;
  /// Remembers the cursor and shows the hourglass; calls nest in pairs with endWait().
  virtual void beginWait() {}
  /// Restores the cursor remembered by the matching beginWait().
  virtual void endWait() {}
  /// A modal error message box with only an OK button.
  virtual void showError(const std::string& text) { (void)text; }
  /// Local time in milliseconds, for the elapsed-time message.
  virtual uint64_t nowMilliseconds();
};

/// Installs the feedback used by the map loader; nullptr restores the silent default.
/// The caller keeps the object alive while it is installed.
void setMapFeedback(TMapFeedback* feedback);
TMapFeedback& mapFeedback();

/// Shows the hourglass for its lifetime.
class WaitCursor {
 public:
  WaitCursor() : feedback_(mapFeedback()) { feedback_.beginWait(); }
  ~WaitCursor() { feedback_.endWait(); }
  WaitCursor(const WaitCursor&) = delete;
  WaitCursor& operator=(const WaitCursor&) = delete;

 private:
  TMapFeedback& feedback_;
};

}  // namespace ostrel
