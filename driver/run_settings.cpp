#include "driver/run_settings.h"

namespace zubreca {

int modelOrder = kDefaultOrder;
DATA_BUFFER* headerBuffer = nullptr;

}  // namespace zubreca
