// A failure the system defines: its code and its text, declared once in the error header of a subsystem.
#pragma once

#include <cstdint>

#include "common/exceptions.h"
#include "platform/types.h"

struct ErrorDefinition {
  int32_t code;
  const WCHAR* text;
};

// Throws the failure as a CExceptionMsg (or another member of the family built from code and text).
template <typename Exception = CExceptionMsg>
[[noreturn]] inline void ThrowError(const ErrorDefinition& error) {
  throw Exception(error.code, error.text);
}
