// The status of a minimisation run: its kind and an optional text.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tarnwick::optimizer {

enum class StatusType { Uninitialized, Initialized, Step, Success, Failed, Message };

// "Uninitialized", "Initialized", "Step", "Success", "Failed" or "Message".
[[nodiscard]] std::string_view display_name(StatusType type);

class StatusMessage {
 public:
  // Each transition discards the text and sets the kind; callers that want a
  // text set it right afterwards.
  void reset() { set(StatusType::Uninitialized); }
  void initialize() { set(StatusType::Initialized); }
  void step() { set(StatusType::Step); }
  void succeed() { set(StatusType::Success); }
  void fail() { set(StatusType::Failed); }

  void set_kind(StatusType type) { type_ = type; }
  void set_text(std::string text) { text_ = std::move(text); }

  [[nodiscard]] StatusType kind() const { return type_; }
  [[nodiscard]] const std::optional<std::string>& text() const { return text_; }

  // "<kind>: <text>" when a non-empty text is present, else "<kind>".
  [[nodiscard]] std::string display() const;

  friend bool operator==(const StatusMessage&, const StatusMessage&) = default;

 private:
  void set(StatusType type) {
    type_ = type;
    text_.reset();
  }

  StatusType type_ = StatusType::Uninitialized;
  std::optional<std::string> text_;
};

}  // namespace tarnwick::optimizer
