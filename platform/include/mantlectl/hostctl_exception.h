// The exception type of the host-control libraries.
#pragma once

#include <boost/system/system_error.hpp>
#include <string>

namespace HostCtl {
namespace Lib {

class HostCtlException : public boost::system::system_error {
 public:
  HostCtlException(int errnoValue, const std::string &detail);
  const std::string &GetDetailedMessage() const { return detail_; }

 private:
  std::string detail_;
};

}  // namespace Lib
}  // namespace HostCtl
