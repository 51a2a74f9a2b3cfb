// What the dataset's source files share and no user of the framework sees.
#pragma once

#include "db/dataset.h"

// Restores a temporary state (and the buffer it pointed at) on every exit.
class TTempStateGuard {
 public:
  TTempStateGuard(TDataSetState& state, TRecordBuffer*& slot, TDataSetState newState,
                  TRecordBuffer* buffer)
      : state_(state), slot_(slot), savedState_(state), savedBuffer_(slot) {
    state_ = newState;
    slot_ = buffer;
  }
  ~TTempStateGuard() {
    // A dataset closed meanwhile stays closed.
    if (state_ != dsInactive) {
      state_ = savedState_;
    }
    slot_ = savedBuffer_;
  }
  TTempStateGuard(const TTempStateGuard&) = delete;
  TTempStateGuard& operator=(const TTempStateGuard&) = delete;

 private:
  TDataSetState& state_;
  TRecordBuffer*& slot_;
  TDataSetState savedState_;
  TRecordBuffer* savedBuffer_;
};
