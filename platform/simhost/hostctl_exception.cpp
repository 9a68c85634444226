#include "mantlectl/hostctl_exception.h"

namespace HostCtl {
namespace Lib {

HostCtlException::HostCtlException(int errnoValue, const std::string &detail)
    : boost::system::system_error(
          boost::system::error_code(errnoValue, boost::system::generic_category()), detail),
      detail_(detail) {}

}  // namespace Lib
}  // namespace HostCtl
