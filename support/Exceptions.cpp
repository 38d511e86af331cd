#include "support/Exceptions.h"

#include <new>

namespace kel {

std::string MessageOf(const std::exception& e) {
  if (const auto* own = dynamic_cast<const Exception*>(&e)) return own->Message();
  if (dynamic_cast<const std::bad_alloc*>(&e) != nullptr) return "Out of memory";
  return e.what();
}

void CopyMessageOf(const std::exception& e, char* out, std::size_t size) noexcept {
  if (size == 0) return;
  const char* text =
      dynamic_cast<const std::bad_alloc*>(&e) != nullptr ? "Out of memory" : e.what();
  if (text == nullptr) text = "";
  std::size_t n = 0;
  for (; n + 1 < size && text[n] != 0; ++n) out[n] = text[n];
  out[n] = 0;
}

void ReRaiseWithCode(const std::exception& e, std::int32_t positionCode) {
  const std::string message = MessageOf(e) + "\r\n>>" + std::to_string(positionCode);
  if (const auto* ole = dynamic_cast<const EOleException*>(&e))
    throw EOleException(message, ole->ErrorCode, ole->Source, ole->HelpFile, ole->HelpContext());
  if (const auto* own = dynamic_cast<const DravoException*>(&e))
    throw DravoException(message, own->FCode);
  throw Exception(message);
}

}  // namespace kel
