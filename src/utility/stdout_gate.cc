#include "utility/stdout_gate.h"

#include <iostream>

namespace kyt {

StdoutGate& StdoutGate::Instance() {
  static StdoutGate* gate = new StdoutGate();  // intentionally leaked: std::cout may be written until the very end
  return *gate;
}

std::atomic<bool> StdoutGate::closed_{false};

void StdoutGate::Install() {
  if (installed_.exchange(true)) return;
  Attach(std::cout);
  static StdoutGate* const error_gate = new StdoutGate();  // the twin: never destroyed either
  error_gate->Attach(std::cerr);
}

void StdoutGate::Attach(std::ostream& stream) {
  target_ = stream.rdbuf();
  stream.rdbuf(this);
}

StdoutGate::int_type StdoutGate::overflow(int_type ch) {
  if (closed_.load(std::memory_order_relaxed) || traits_type::eq_int_type(ch, traits_type::eof()) ||
      target_ == nullptr) {
    return traits_type::not_eof(ch);
  }
  return target_->sputc(traits_type::to_char_type(ch));
}

std::streamsize StdoutGate::xsputn(const char* text, std::streamsize count) {
  if (closed_.load(std::memory_order_relaxed) || target_ == nullptr) return count;
  return target_->sputn(text, count);
}

int StdoutGate::sync() {
  if (closed_.load(std::memory_order_relaxed) || target_ == nullptr) return 0;
  return target_->pubsync();
}

}  // namespace kyt
