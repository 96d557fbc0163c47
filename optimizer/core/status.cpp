#include "optimizer/core/status.hpp"

namespace tarnwick::optimizer {

std::string_view display_name(StatusType type) {
  switch (type) {
    case StatusType::Uninitialized:
      return "Uninitialized";
    case StatusType::Initialized:
      return "Initialized";
    case StatusType::Step:
      return "Step";
    case StatusType::Success:
      return "Success";
    case StatusType::Failed:
      return "Failed";
    case StatusType::Message:
      return "Message";
  }
  return "Uninitialized";
}

std::string StatusMessage::display() const {
  std::string out(display_name(type_));
  if (text_ && !text_->empty()) {
    out += ": ";
    out += *text_;
  }
  return out;
}

}  // namespace tarnwick::optimizer
