// Run-wide state shared by the driver, the tricks and the model.
#pragma once

#include <cstdint>

namespace zubreca {

class DATA_BUFFER;

inline constexpr int kDefaultMemory = 256;  // MB
inline constexpr int kMinMemory = 4;
inline constexpr int kMaxMemory = 2048;
inline constexpr int kDefaultOrder = 128;
inline constexpr int kMinOrder = 2;
inline constexpr int kMaxOrder = 128;

// The model order limit: set by -o when encoding, from each entry header
// when decoding, and raised to 128 by the wiki trick. The coder uses the
// smaller of this and a buffer's own maxOrder.
extern int modelOrder;

// The longest file an archive entry may declare: an encoder loads at most
// kMaxFileLength bytes (buffers/file_loading.h), so a longer entry is
// damaged. The fuzz targets lower it to keep each input quick.
extern uint32_t entryLengthLimit;

// The header buffer of the entry being coded. Trick encoders append their
// parameters to it; trick decoders read them back in the same order.
extern DATA_BUFFER* headerBuffer;

}  // namespace zubreca
