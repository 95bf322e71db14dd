// A log of the table slots written since the last reset, so that a short
// buffer restores only those rather than tens of megabytes of tables. Past
// its capacity the log gives up, and the owner restores its tables whole.
#pragma once

#include <cstdint>

namespace zubreca {

// StartsClean: the owner's tables already hold their reset state before
// the first replay (zeroed static storage whose reset state is all zero),
// so that replay restores nothing and the untouched pages stay unmapped.
template <uint32_t Capacity, bool StartsClean = false>
class USED_SLOT_LOG {
 public:
  // Owners that keep several tables tell them apart by tag bits of their
  // own in the index.
  void note(uint32_t taggedIndex) {
    if (count < Capacity)
      slots[count++] = taggedIndex;
    else
      overflowed = true;
  }

  // Calls restore(taggedIndex) for every slot noted since the last replay,
  // or restoreAll() once when they did not fit; then starts empty.
  template <typename Restore, typename RestoreAll>
  void replay(Restore&& restore, RestoreAll&& restoreAll) {
    if (overflowed)
      restoreAll();
    else
      for (uint32_t k = 0; k < count; ++k) restore(slots[k]);
    count = 0;
    overflowed = false;
  }

 private:
  uint32_t slots[Capacity];
  uint32_t count = 0;
  bool overflowed = !StartsClean;  // otherwise nothing is initialised before the first replay
};

}  // namespace zubreca
