#include "host/tool/result_text.h"

namespace zulhost {

int ExitStatusFor(std::int32_t result) { return result >= 1 && result <= 255 ? static_cast<int>(result) : 1; }

} // namespace zulhost
