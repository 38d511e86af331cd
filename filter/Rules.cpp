// The tag rewriting rules: for every complete tag while the companion has
// answered success so far, keep it, replace it by a placeholder, or drop it.
#include <climits>
#include <cstdint>

#include "filter/MimeFilter.h"
#include "platform/Text.h"
#include "support/Url.h"

namespace kel {
namespace {

// The Flash player vendor's download server: a CODEBASE beginning with it
// marks a Flash object.
constexpr std::string_view kFlashCodebasePrefix = "http://download.macromedia.com";

constexpr char kImageType[] = "image/*";
constexpr char kHtmlType[] = "text/html";
constexpr char kFlashType[] = "application/x-shockwave-flash";

const std::string kNoText;

bool StartsWithIgnoreCase(const std::string& text, std::string_view prefix) {
  return text.size() >= prefix.size() &&
         CompareTextIgnoreCase(std::string_view(text).substr(0, prefix.size()), prefix) == 0;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

// WIDTH and HEIGHT as 32-bit signed integers: leading spaces, one sign,
// then decimal digits or, after "$", "x" or "0x" (either case), hexadecimal
// digits whose 32-bit pattern is taken as signed. Anything else is -1.
std::int32_t AttributeInteger(const std::string& text) {
  std::size_t i = 0;
  while (i < text.size() && text[i] == ' ') ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  bool hex = false;
  if (i < text.size() && (text[i] == '$' || text[i] == 'x' || text[i] == 'X')) {
    hex = true;
    ++i;
  } else if (i + 1 < text.size() && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X')) {
    hex = true;
    i += 2;
  }
  if (i == text.size()) return -1;
  std::uint64_t value = 0;
  for (; i < text.size(); ++i) {
    if (hex) {
      const int d = HexDigit(text[i]);
      if (d < 0) return -1;
      value = value * 16 + static_cast<std::uint64_t>(d);
      if (value > 0xFFFFFFFFull) return -1;
    } else {
      if (text[i] < '0' || text[i] > '9') return -1;
      value = value * 10 + static_cast<std::uint64_t>(text[i] - '0');
      if (value > 0x80000000ull) return -1;
    }
  }
  if (!hex) {
    if (!negative && value > INT32_MAX) return -1;
    return negative ? static_cast<std::int32_t>(-static_cast<std::int64_t>(value))
                    : static_cast<std::int32_t>(value);
  }
  const std::uint32_t pattern = static_cast<std::uint32_t>(value);
  return static_cast<std::int32_t>(negative ? 0u - pattern : pattern);
}

void TVarnelHTMLFilter::ReviseResource(const std::string& url, const char* contentType,
                                       const std::string& documentUrl, const std::string& href,
                                       std::int32_t width, std::int32_t height,
                                       std::int32_t& action) {
  ++FStats.CompanionCalls;
  FServiceStatus = FReviseResource(FBinding, url.c_str(), contentType, documentUrl.c_str(),
                                   href.c_str(), width, height, -1, &action);
}

void TVarnelHTMLFilter::NoteResourceWithHref(const std::string& imageUrl, const std::string& href,
                                             std::int32_t& action) {
  ++FStats.CompanionCalls;
  FServiceStatus = FNoteResourceWithHref(FBinding, imageUrl.c_str(), href.c_str(), &action);
}

void TVarnelHTMLFilter::WriteReplacement(const std::string& text) {
  WriteOutputText(text);
  if (text.empty())
    ++FStats.TagsDropped;
  else
    ++FStats.TagsRewritten;
}

// The rule is chosen by the tag's name, read in place; only the tags whose
// rules read attributes are parsed, so most tags cost a look at their name
// and a copy.
void TVarnelHTMLFilter::ProcessTag(const char* tagStart, std::size_t tagLength) {
  if (tagLength > INT_MAX) {  // beyond what the parser takes: leave it be
    WriteOutput(tagStart, tagLength);
    return;
  }
  const std::string_view name = TagNameText(tagStart, tagLength);
  if (FInFlash) {
    FlashObjectRule(TagNameIs(name, "/OBJECT"));
    return;
  }
  const auto parse = [&] { FTagParser->Parse(tagStart, static_cast<int>(tagLength)); };
  if (TagNameIs(name, "IMG")) {
    parse();
    ImageRule(tagStart, tagLength);
  } else if (TagNameIs(name, "IFRAME")) {
    parse();
    InlineFrameRule(tagStart, tagLength);
  } else if (FSkipIFrame && TagNameIs(name, "/IFRAME")) {
    FSkipIFrame = false;
    ++FStats.TagsDropped;
  } else if (TagNameIs(name, "OBJECT")) {
    parse();
    ObjectRule(tagStart, tagLength);
  } else {
    if (TagNameIs(name, "A")) {
      FInAnchor = true;
      // Read and resolved when an image inside needs it: most anchors hold
      // none. The tag is kept until then.
      FAnchorTag.assign(tagStart, tagLength);
      FAnchorHrefResolved = false;
    } else if (TagNameIs(name, "/A")) {
      FInAnchor = false;
      FAnchorHref.clear();
      FAnchorTag.clear();
      FAnchorHrefResolved = true;
    } else if (TagNameIs(name, "MAP")) {
      parse();
      MapStartRule();
    } else if (TagNameIs(name, "/MAP")) {
      MapEndRule();
    } else if (FInMap && TagNameIs(name, "AREA")) {
      parse();
      AreaRule();
    }
    WriteOutput(tagStart, tagLength);
  }
}

// The anchor's link resolved against the document, once. The document URL
// does not change during a download, so this is the URL the anchor gave.
const std::string& TVarnelHTMLFilter::AnchorHref() {
  if (!FAnchorHrefResolved) {
    // A parser of its own: the image's attributes are still in use.
    FAnchorParser.Parse(FAnchorTag.data(), static_cast<int>(FAnchorTag.size()));
    FAnchorHref = CombineUrl(FBaseUrl, FAnchorParser.GetAttribute("HREF"));
    FAnchorHrefResolved = true;
  }
  return FAnchorHref;
}

void TVarnelHTMLFilter::ImageRule(const char* tagStart, std::size_t tagLength) {
  const std::string& heightText = FTagParser->GetAttribute("HEIGHT");
  const std::string& widthText = FTagParser->GetAttribute("WIDTH");
  const std::int32_t height = AttributeInteger(heightText);
  const std::int32_t width = AttributeInteger(widthText);
  const std::string& srcText = FTagParser->GetAttribute("SRC");
  const std::string src = srcText.empty() ? std::string() : CombineUrl(FBaseUrl, srcText);
  std::int32_t action = 0;
  const std::string& usemap = FTagParser->GetAttribute("USEMAP");
  const std::string mapName = !usemap.empty() && usemap[0] == '#' ? usemap.substr(1) : kNoText;
  if (!mapName.empty() && !src.empty()) FMapImages->Add(mapName + "=" + src);

  if (FInAnchor) {
    ReviseResource(src, kImageType, FBaseUrl, AnchorHref(), width, height, action);
  } else if (!mapName.empty()) {
    const TMapItem* map = nullptr;
    for (const auto& item : *FMaps) {
      if (item->FName == mapName) {
        map = item.get();
        break;
      }
    }
    if (map == nullptr) {
      ReviseResource(src, kImageType, FBaseUrl, kNoText, width, height, action);
    } else {
      for (int i = 0; i < map->FAreas.Count(); ++i) {
        ReviseResource(src, kImageType, FBaseUrl, map->FAreas[i], width, height, action);
        if (FServiceStatus != 0 || action != 0) break;
      }
    }
  } else {
    ReviseResource(src, kImageType, FBaseUrl, kNoText, width, height, action);
  }

  if (FServiceStatus != 0 || action == 0) {
    WriteOutput(tagStart, tagLength);
  } else if (action == 2) {
    WriteReplacement("[AD]");
  } else if (action == 3) {
    WriteReplacement("<IMG WIDTH=" + widthText + " HEIGHT=" + heightText +
                     " border=0 alt=AD usemap=" + usemap + ">");
  } else {
    WriteReplacement(kNoText);
  }
}

void TVarnelHTMLFilter::InlineFrameRule(const char* tagStart, std::size_t tagLength) {
  const std::string& srcText = FTagParser->GetAttribute("SRC");
  const std::string src = srcText.empty() ? std::string() : CombineUrl(FBaseUrl, srcText);
  std::int32_t action = 0;
  ReviseResource(src, kHtmlType, FBaseUrl, kNoText, -1, -1, action);
  if (FServiceStatus == 0 && action != 0) {
    FSkipIFrame = true;
    ++FStats.TagsDropped;
  } else {
    WriteOutput(tagStart, tagLength);
    FSkipIFrame = false;
  }
}

void TVarnelHTMLFilter::ObjectRule(const char* tagStart, std::size_t tagLength) {
  if (!StartsWithIgnoreCase(FTagParser->GetAttribute("CODEBASE"), kFlashCodebasePrefix)) {
    WriteOutput(tagStart, tagLength);
    return;
  }
  std::int32_t action = 0;
  ReviseResource(kNoText, kFlashType, kNoText, kNoText, -1, -1, action);
  if (FServiceStatus == 0 && action != 0) {
    FInFlash = true;
    FFlashAction = action;
    FFlashWidth = FTagParser->GetAttribute("WIDTH");
    FFlashHeight = FTagParser->GetAttribute("HEIGHT");
  } else {
    WriteOutput(tagStart, tagLength);
  }
}

// Everything from the Flash OBJECT through the first "/OBJECT" gives way
// to one placeholder; the read loop drops the text runs in between.
void TVarnelHTMLFilter::FlashObjectRule(bool objectEnd) {
  if (!objectEnd) {
    ++FStats.TagsDropped;
    return;
  }
  if (FFlashAction == 2)
    WriteReplacement("[FLASH]");
  else if (FFlashAction == 3)
    WriteReplacement("<IMG WIDTH=\"" + FFlashWidth + "\" HEIGHT=\"" + FFlashHeight +
                     "\" border=0 alt=FLASH>");
  else
    WriteReplacement(kNoText);
  FInFlash = false;
}

void TVarnelHTMLFilter::MapStartRule() {
  FInMap = true;
  FMaps->push_back(std::make_unique<TMapItem>());
  FCurrentMap = FMaps->back().get();
  FCurrentMap->FName = FTagParser->GetAttribute("NAME");
}

void TVarnelHTMLFilter::AreaRule() {
  FCurrentMap->FAreas.Add(CombineUrl(FBaseUrl, FTagParser->GetAttribute("HREF")));
}

void TVarnelHTMLFilter::MapEndRule() {
  if (FCurrentMap != nullptr) {
    const std::string imageUrl = FMapImages->Value(FCurrentMap->FName);
    std::int32_t action = 0;
    if (!imageUrl.empty()) {
      for (int i = 0; i < FCurrentMap->FAreas.Count(); ++i) {
        NoteResourceWithHref(imageUrl, FCurrentMap->FAreas[i], action);
        if (FServiceStatus != 0 || action != 0) break;
      }
    }
  }
  FInMap = false;
  FCurrentMap = nullptr;
}

}  // namespace kel
