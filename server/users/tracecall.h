// qmsTTraceCall: the entry and exit trace lines of one operation of this library.
// The constructor writes ">Class.Operation(arguments)", the destructor
// "<Class.Operation(result)" (or without values when no result was set), so every return
// path and an exception leave the trace balanced. With tracing off it costs a flag test
// (and building the argument values, which the callers keep cheap).
#pragma once

#include <optional>
#include <string>
#include <utility>

#include "toolbox/trace.h"

class qmsTTraceCall {
 public:
  template <typename... V>
  explicit qmsTTraceCall(const char* name, V&&... args) : name_(name) {
    if (!jvbTraceEnabled.load(std::memory_order_relaxed)) return;
    if constexpr (sizeof...(V) == 0) {
      jvbTrace(std::string(">") + name_);
    } else {
      jvbTraceArgs(std::string(">") + name_, std::forward<V>(args)...);
    }
  }
  ~qmsTTraceCall() {
    if (!jvbTraceEnabled.load(std::memory_order_relaxed)) return;
    if (result_) {
      jvbTraceArgs(std::string("<") + name_, *result_);
    } else {
      jvbTrace(std::string("<") + name_);
    }
  }
  qmsTTraceCall(const qmsTTraceCall&) = delete;
  qmsTTraceCall& operator=(const qmsTTraceCall&) = delete;

  void Result(jvbTraceValue value) {
    if (jvbTraceEnabled.load(std::memory_order_relaxed)) result_ = std::move(value);
  }
  // Returns the value so that "return trace.Bool(x);" reads naturally.
  bool Bool(bool v) {
    Result(jvbTraceValue::Boolean(v));
    return v;
  }
  const std::string& Str(const std::string& v) {
    Result(jvbTraceValue::Str(v));
    return v;
  }
  int64_t Int(int64_t v) {
    Result(jvbTraceValue::Integer(v));
    return v;
  }

 private:
  const char* name_;
  std::optional<jvbTraceValue> result_;
};
