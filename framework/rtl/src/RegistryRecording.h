// Recording of registrations made while a package loads, so that unloading
// the package can undo them before its code goes away.
#pragma once

#include <functional>
#include <vector>

namespace rtl::detail {

using TUndoList = std::vector<std::function<void()>>;

// Registrations on the calling thread are recorded into `list` while the
// returned scope lives (null: not recorded).
class TRecordingScope {
 public:
  explicit TRecordingScope(TUndoList* list);
  ~TRecordingScope();
  TRecordingScope(const TRecordingScope&) = delete;
  TRecordingScope& operator=(const TRecordingScope&) = delete;

 private:
  TUndoList* previous_;
};

// Records how to undo a registration just made (nothing when no scope).
void RecordUndo(std::function<void()> undo);

}  // namespace rtl::detail
