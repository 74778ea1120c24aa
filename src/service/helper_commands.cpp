#include "service/helper_commands.h"

#include "system/session_launch.h"

namespace vovu {

bool RunStartKorvaCf(const std::vector<std::u16string>& /*args*/, const RequestContext& context,
                     std::u16string* failure) {
  return StartKorvaCfForCaller(context, failure);
}

}  // namespace vovu
