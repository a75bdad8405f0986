// A fixed error of the system: its code and its text, kept together in one table entry of the error
// header of its subsystem.
#pragma once

#include <cstdint>

#include "common/exceptions.h"
#include "platform/types.h"

struct CErrorText {
  int32_t code;
  const WCHAR* text;

  WString Text() const { return WString(text); }
};

// Throws the error as a member of the exception family built from a code and a text (CExceptionMsg
// unless another one is named: CSockException, CWinErrException).
template <typename Exception = CExceptionMsg>
[[noreturn]] inline void ThrowError(const CErrorText& error) {
  throw Exception(error.code, error.Text());
}
