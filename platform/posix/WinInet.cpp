// InternetCombineUrlA over uriparser, with WinINet's calling protocol: a
// call whose buffer is missing or too small fails and reports the size
// needed, the terminating zero included; a call that fits writes the URL
// and reports its length without the zero.
//
// With the flags 0 WinINet resolves the reference, removes dot segments and
// percent-encodes unsafe characters; so does this, by RFC 3986. Where the
// results differ (compared against the platform's own WinINet as Wine has
// it), the platform:
// - gives the base's directory for an empty reference ("http://a/b/c" and ""
//   give "http://a/b/"), where this gives the base without its fragment;
// - drops the base's last segment for a reference of only a query ("?y"
//   against "http://a/b/c/d;p?q" gives "http://a/b/c/?y"), keeps ".." above
//   the root ("http://a/../g"), ends a bare host with "/" ("//g" gives
//   "http://g/") and reads "http:g" as relative;
// - turns backslashes into "/", removes tabs, cuts trailing spaces and line
//   breaks, keeps a lone "%", a second "#" and characters such as "{" and
//   "}" after the "#", and lower-cases the scheme, where this encodes all of
//   them as they are and keeps the scheme as written;
// - encodes the "/" of an opaque URL ("data:image/gif;..." gives
//   "data:image%2Fgif;..."), where this keeps it;
// - answers a reference longer than its URL limit with the base's scheme and
//   host alone (a 2750-byte data: URL gives "http://host/"), where this
//   resolves it;
// - returns a relative reference unchanged when the base is empty or not a
//   URL, where this fails;
// - encodes the brackets of an IPv6 host ("[::1]" gives "%5B::1%5D"), where
//   this writes the host in full ("[0000:...:0001]").
#include <uriparser/Uri.h>

#include <cstring>
#include <string>
#include <string_view>

#include "platform/posix/Win32.h"

namespace {

bool IsHex(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// Characters that may stand in a URI reference as they are.
bool IsUriCharacter(unsigned char c, bool brackets) {
  if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
  if (c == '[' || c == ']') return brackets;
  return std::string_view("-._~:/?#@!$&'()*+,;=").find(static_cast<char>(c)) !=
         std::string_view::npos;
}

// Percent-encodes what a URI reference cannot hold: spaces, controls, bytes
// from 0x80, characters such as '"' and '<', a second "#", and a "%" that
// does not start an escape. Brackets are kept only when asked (they belong
// in an IPv6 host and nowhere else).
std::string EncodeUnsafe(const char* text, bool brackets) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(std::strlen(text) + 16);
  bool fragment = false;
  for (const char* p = text; *p != 0; ++p) {
    const unsigned char c = static_cast<unsigned char>(*p);
    bool keep = IsUriCharacter(c, brackets);
    if (c == '#') {
      keep = !fragment;
      fragment = true;
    }
    if (c == '%') keep = IsHex(p[1]) && IsHex(p[2]);
    if (keep) {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

// A parsed URI with the text it points into.
class ParsedUri {
 public:
  ParsedUri() = default;
  ParsedUri(const ParsedUri&) = delete;
  ParsedUri& operator=(const ParsedUri&) = delete;
  bool Parse(std::string text) {
    Free();
    text_ = std::move(text);
    parsed_ = uriParseSingleUriA(&uri_, text_.c_str(), nullptr) == URI_SUCCESS;
    return parsed_;
  }
  bool Absolute() const { return parsed_ && uri_.scheme.first != nullptr; }
  UriUriA* Get() { return &uri_; }
  ~ParsedUri() { Free(); }

 private:
  void Free() {
    if (parsed_) uriFreeUriMembersA(&uri_);
    parsed_ = false;
  }
  std::string text_;
  UriUriA uri_{};
  bool parsed_ = false;
};

bool ParseReference(ParsedUri& uri, const char* text) {
  return uri.Parse(EncodeUnsafe(text, true)) || uri.Parse(EncodeUnsafe(text, false));
}

// The document's URL, parsed once: a download resolves every link against
// the same base.
struct ParsedBase {
  std::string text;
  bool known = false;
  ParsedUri uri;
  bool usable = false;  // parsed and absolute
};

bool Resolve(const char* base, const char* relative, std::string& out) {
  ParsedUri rel;
  if (!ParseReference(rel, relative)) return false;
  thread_local ParsedBase parsedBase;
  if (!parsedBase.known || parsedBase.text != base) {
    parsedBase.known = false;
    parsedBase.text = base;
    parsedBase.usable = ParseReference(parsedBase.uri, base) && parsedBase.uri.Absolute();
    parsedBase.known = true;
  }
  ParsedUri* against = &parsedBase.uri;
  if (!parsedBase.usable) {
    // Without a usable base only an absolute reference resolves.
    if (!rel.Absolute()) return false;
    against = &rel;
  }
  UriUriA result{};
  if (uriAddBaseUriA(&result, rel.Get(), against->Get()) != URI_SUCCESS) {
    uriFreeUriMembersA(&result);
    return false;
  }
  int chars = 0;
  bool ok = uriToStringCharsRequiredA(&result, &chars) == URI_SUCCESS;
  if (ok) {
    out.assign(static_cast<std::size_t>(chars) + 1, '\0');
    ok = uriToStringA(out.data(), &result, chars + 1, nullptr) == URI_SUCCESS;
    out.resize(static_cast<std::size_t>(chars));
  }
  uriFreeUriMembersA(&result);
  return ok;
}

// Callers ask twice for each URL, the size and then the text: the second
// question gets the first answer again.
bool Combine(const char* base, const char* relative, std::string& out) {
  thread_local struct {
    bool known = false;
    std::string base, relative, out;
    bool ok = false;
  } last;
  if (last.known && last.relative == relative && last.base == base) {
    out = last.out;
    return last.ok;
  }
  last.known = false;
  last.ok = Resolve(base, relative, last.out);
  last.base = base;
  last.relative = relative;
  last.known = true;
  out = last.out;
  return last.ok;
}

BOOL CombineWithUriparser(LPCSTR lpszBaseUrl, LPCSTR lpszRelativeUrl, LPSTR lpszBuffer,
                          DWORD* lpdwBufferLength, DWORD) {
  if (lpszBaseUrl == nullptr || lpszRelativeUrl == nullptr || lpdwBufferLength == nullptr)
    return FALSE;
  std::string url;
  if (!Combine(lpszBaseUrl, lpszRelativeUrl, url)) return FALSE;
  const DWORD needed = static_cast<DWORD>(url.size()) + 1;
  if (lpszBuffer == nullptr || *lpdwBufferLength < needed) {
    *lpdwBufferLength = needed;
    return FALSE;
  }
  url.copy(lpszBuffer, url.size());
  lpszBuffer[url.size()] = 0;
  *lpdwBufferLength = needed - 1;
  return TRUE;
}

KelCombineUrlFunction combineUrl = CombineWithUriparser;

}  // namespace

extern "C" BOOL InternetCombineUrlA(LPCSTR lpszBaseUrl, LPCSTR lpszRelativeUrl, LPSTR lpszBuffer,
                                    DWORD* lpdwBufferLength, DWORD dwFlags) {
  return combineUrl(lpszBaseUrl, lpszRelativeUrl, lpszBuffer, lpdwBufferLength, dwFlags);
}

extern "C" KelCombineUrlFunction KelReplaceInternetCombineUrl(KelCombineUrlFunction replacement) {
  const KelCombineUrlFunction previous = combineUrl;
  combineUrl = replacement != nullptr ? replacement : CombineWithUriparser;
  return previous;
}
