// The exception family of both deliverables.
#include "common/exceptions.h"

#include <utility>

#include "platform/system_error.h"

int32_t CException::Code() const { return 1; }

WString CException::Message() const { return WTEXT("generic error"); }

CExceptionMsg::CExceptionMsg(int32_t code, WString message) : m_code(code), m_message(std::move(message)) {}

int32_t CExceptionMsg::Code() const { return m_code; }

WString CExceptionMsg::Message() const { return m_message; }

CWinErrException::CWinErrException(int32_t code, WString message)
    : CExceptionMsg(code, std::move(message)), m_systemError(ostrin::platform::LastSystemError()) {}

WString CWinErrException::Message() const {
  // The given text, one blank, then the system's text exactly as it comes.
  return CExceptionMsg::Message() + WTEXT(" ") + ostrin::platform::SystemErrorText(m_systemError);
}
