// The tag rewriting rules.
#include "filter/MimeFilter.h"

namespace kel {

void TVarnelHTMLFilter::ProcessTag(const char* tagStart, std::size_t tagLength) {
  WriteOutput(tagStart, tagLength);
}

}  // namespace kel
