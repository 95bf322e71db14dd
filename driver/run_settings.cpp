#include "driver/run_settings.h"

#include "buffers/file_loading.h"

namespace zubreca {

int modelOrder = kDefaultOrder;
DATA_BUFFER* headerBuffer = nullptr;
uint32_t entryLengthLimit = kMaxFileLength;

}  // namespace zubreca
