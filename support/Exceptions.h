// The exception kinds of the system. Internal routines fail by raising
// them; the COM methods turn every exception into an HRESULT.
#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <string>

#include "platform/Platform.h"

namespace kel {

// The general kind: a message and a help context.
class Exception : public std::exception {
 public:
  explicit Exception(std::string message, int helpContext = 0)
      : message_(std::move(message)), helpContext_(helpContext) {}
  const std::string& Message() const { return message_; }
  int HelpContext() const { return helpContext_; }
  const char* what() const noexcept override { return message_.c_str(); }

 private:
  std::string message_;
  int helpContext_;
};

// A failure reported by an OLE call, with its HRESULT and origin.
class EOleException : public Exception {
 public:
  EOleException(std::string message, HRESULT errorCode, std::string source, std::string helpFile,
                int helpContext)
      : Exception(std::move(message), helpContext),
        ErrorCode(errorCode),
        Source(std::move(source)),
        HelpFile(std::move(helpFile)) {}

  HRESULT ErrorCode;
  std::string Source;
  std::string HelpFile;
};

// The system's own kind: the general exception plus a one-byte code.
class DravoException : public Exception {
 public:
  DravoException(std::string message, std::uint8_t code)
      : Exception(std::move(message)), FCode(code) {}

  std::uint8_t FCode;
};

// Raises a new exception in place of e, whose message is e's message, CR,
// LF, ">>" and the position code in decimal. An EOleException stays one with
// all its fields, a DravoException keeps its code, anything else becomes a
// plain Exception. Every std::exception counts as of the general kind.
[[noreturn]] void ReRaiseWithCode(const std::exception& e, std::int32_t positionCode);

// The message of an exception of the general kind.
std::string MessageOf(const std::exception& e);

// The same message copied into out[0, size), cut short when longer and
// always terminated; allocates nothing, for paths that must not fail.
void CopyMessageOf(const std::exception& e, char* out, std::size_t size) noexcept;

}  // namespace kel
