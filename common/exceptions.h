// The exception family of both deliverables: every failure carries a numeric code and a UTF-16 text.
#pragma once

#include <cstdint>

#include "platform/types.h"

// Root of the family. Thrown by value, caught by reference, most derived class first
// (CSockException before CException).
class CException {
 public:
  virtual ~CException() = default;
  virtual int32_t Code() const;
  virtual WString Message() const;
};

// A failure with its own code and text.
class CExceptionMsg : public CException {
 public:
  CExceptionMsg(int32_t code, WString message);
  int32_t Code() const override;
  WString Message() const override;

 private:
  int32_t m_code;
  WString m_message;
};

// A failure of the socket stream or of socket set-up (codes 1000 to 1014).
class CSockException : public CExceptionMsg {
 public:
  using CExceptionMsg::CExceptionMsg;
  ~CSockException() override = default;
};

// A failure of a system call: captures the calling thread's last system error when it is built, and
// appends the system's text for it to the message.
class CWinErrException : public CExceptionMsg {
 public:
  CWinErrException(int32_t code, WString message);
  WString Message() const override;
  uint32_t SystemError() const { return m_systemError; }

 private:
  uint32_t m_systemError;
};
