// The rewriting rules, through the real filter object and the real sample
// companion: for each small page, the exact bytes written and the exact
// calls the companion received, in order.
#include <gtest/gtest.h>

#include "tests/TestSupport.h"

namespace kel {
namespace {

const std::string kDoc = "http://example.test/dir/page.html";
const std::string kDir = "http://example.test/dir/";

// The companion's log line of one ReviseResource call.
std::string R(const std::string& url, const std::string& type, const std::string& href, int width,
              int height, int status, int action, const std::string& doc = kDoc) {
  return "ReviseResource\t1\t" + url + "\t" + type + "\t" + doc + "\t" + href + "\t" +
         std::to_string(width) + "\t" + std::to_string(height) + "\t-1\t->\t" +
         std::to_string(status) + "\t" + std::to_string(action);
}
std::string Image(const std::string& file, const std::string& href = "", int w = -1, int h = -1,
                  int status = 0, int action = 0) {
  return R(kDir + file, "image/*", href, w, h, status, action);
}
std::string Frame(const std::string& url, int action) {
  return R(url, "text/html", "", -1, -1, 0, action);
}
std::string Flash(int action) {
  return R("", "application/x-shockwave-flash", "", -1, -1, 0, action, "");
}
std::string Note(const std::string& file, const std::string& href, int status, int action) {
  return "NoteResourceWithHref\t1\t" + kDir + file + "\t" + href + "\t->\t" +
         std::to_string(status) + "\t" + std::to_string(action);
}

struct RuleCase {
  const char* name;
  const char* rules;
  std::string page;
  std::string output;
  std::vector<std::string> calls;  // after GetBinding
  friend void PrintTo(const RuleCase& c, std::ostream* os) { *os << c.name; }
};

class Rewriting : public testing::TestWithParam<RuleCase> {};

// Whole page at once and one byte a read: the same bytes, the same calls.
TEST_P(Rewriting, WritesExactBytesAndMakesExactCalls) {
  const RuleCase& c = GetParam();
  for (std::size_t chunk : {std::size_t{8192}, std::size_t{1}}) {
    SCOPED_TRACE("chunk " + std::to_string(chunk));
    test::CompanionSetup companion(c.rules);
    test::Started f = test::StartOver(host::PageSteps(c.page, chunk), test::CompanionPath(),
                                      std::wstring(kDoc.begin(), kDoc.end()));
    const host::Drained d = host::ReadToEnd(f.filter.Get(), 4096);
    EXPECT_EQ(S_FALSE, d.last);
    EXPECT_EQ(c.output, d.bytes);
    std::vector<std::string> expected = {"GetBinding\t->\t0\t1"};
    expected.insert(expected.end(), c.calls.begin(), c.calls.end());
    EXPECT_EQ(expected, companion.Log());
  }
}

const std::string kMacromedia = "http://download.macromedia.com/pub/shockwave/swflash.cab";

INSTANTIATE_TEST_SUITE_P(
    Images, Rewriting,
    testing::Values(
        RuleCase{"LowerCaseTag",
                 "image *a.gif action=2\n",
                 "x<img src=\"a.gif\">y",
                 "x[AD]y",
                 {Image("a.gif", "", -1, -1, 0, 2)}},
        RuleCase{"KeptImage",
                 "",
                 "<IMG SRC=a.gif WIDTH=468 HEIGHT=60>",
                 "<IMG SRC=a.gif WIDTH=468 HEIGHT=60>",
                 {Image("a.gif", "", 468, 60)}},
        RuleCase{"PercentageWidth",
                 "image * action=3\n",
                 "<img src=a.gif width=\"50%\" height=20>",
                 "<IMG WIDTH=50% HEIGHT=20 border=0 alt=AD usemap=>",
                 {Image("a.gif", "", -1, 20, 0, 3)}},
        RuleCase{"HexadecimalSizes",
                 "",
                 "<img src=a.gif width=$1D4 height=0x3C>",
                 "<img src=a.gif width=$1D4 height=0x3C>",
                 {Image("a.gif", "", 468, 60)}},
        RuleCase{"PlaceholderKeepsUsemap",
                 "image * action=3\n",
                 "<img src=a.gif width=1 height=2 usemap=\"#m\">",
                 "<IMG WIDTH=1 HEIGHT=2 border=0 alt=AD usemap=#m>",
                 {Image("a.gif", "", 1, 2, 0, 3)}},
        RuleCase{"ActionOneRemoves",
                 "image * action=1\n",
                 "x<img src=a.gif>y",
                 "xy",
                 {Image("a.gif", "", -1, -1, 0, 1)}},
        RuleCase{"ActionFourRemoves",
                 "image * action=4\n",
                 "x<img src=a.gif>y",
                 "xy",
                 {Image("a.gif", "", -1, -1, 0, 4)}},
        RuleCase{"NoSourceAsksWithEmptyUrl",
                 "",
                 "<img alt=x>",
                 "<img alt=x>",
                 {R("", "image/*", "", -1, -1, 0, 0)}},
        RuleCase{"InsideAnchor",
                 "image * href=http://example.test/go action=2\n",
                 "<a href=\"/go\"><img src=a.gif width=468 height=60></a><img src=b.gif>",
                 "<a href=\"/go\">[AD]</a><img src=b.gif>",
                 {Image("a.gif", "http://example.test/go", 468, 60, 0, 2), Image("b.gif")}},
        RuleCase{"AnchorWithoutHref",
                 "",
                 "<a><img src=a.gif></a>",
                 "<a><img src=a.gif></a>",
                 {Image("a.gif", kDoc)}},
        // After "</a>" an image with a map is asked with the map's links.
        RuleCase{"AnchorEndsAtItsEndTag",
                 "",
                 "<map name=m><area href=x.html></map><a href=/go></a><img src=a.gif usemap=#m>",
                 "<map name=m><area href=x.html></map><a href=/go></a><img src=a.gif usemap=#m>",
                 {Image("a.gif", kDir + "x.html")}},
        RuleCase{"SecondAnchorReplacesHref",
                 "",
                 "<a href=1.html><a href=2.html><img src=a.gif></a><img src=b.gif>",
                 "<a href=1.html><a href=2.html><img src=a.gif></a><img src=b.gif>",
                 {Image("a.gif", kDir + "2.html"), Image("b.gif")}},
        RuleCase{"CommentHoldingImage",
                 "image * action=2\n",
                 "<!-- <img src=a.gif> -->",
                 "<!-- <img src=a.gif> -->",
                 {}},
        RuleCase{
            "StatusStopsRewriting",
            "image *b.gif status=3\n",
            "<img src=a.gif><img src=b.gif width=468 height=60><img src=c.gif><iframe src=f.html>",
            "<img src=a.gif><img src=b.gif width=468 height=60><img src=c.gif><iframe src=f.html>",
            {Image("a.gif"), Image("b.gif", "", 468, 60, 3, 0)}}),
    [](const testing::TestParamInfo<RuleCase>& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    Maps, Rewriting,
    testing::Values(
        RuleCase{"MapBeforeImageAsksPerArea",
                 "image * href=*y.html action=2\n",
                 "<map name=m><area href=x.html><area href=y.html><area href=z.html></map>"
                 "<img src=a.gif usemap=#m>",
                 "<map name=m><area href=x.html><area href=y.html><area href=z.html></map>[AD]",
                 {Image("a.gif", kDir + "x.html"), Image("a.gif", kDir + "y.html", -1, -1, 0, 2)}},
        RuleCase{"MapWithoutAreasNoCall",
                 "image * action=2\n",
                 "<map name=m></map><img src=a.gif usemap=#m>",
                 "<map name=m></map><img src=a.gif usemap=#m>",
                 {}},
        RuleCase{"UsemapWithoutHash",
                 "",
                 "<map name=m><area href=x.html></map><img src=a.gif usemap=\"p.html#m\"><img "
                 "src=b.gif usemap=#>",
                 "<map name=m><area href=x.html></map><img src=a.gif usemap=\"p.html#m\"><img "
                 "src=b.gif usemap=#>",
                 {Image("a.gif"), Image("b.gif")}},
        RuleCase{"MapBeforeImageCaseDiffers",
                 "",
                 "<map name=M><area href=x.html></map><img src=a.gif usemap=#m>",
                 "<map name=M><area href=x.html></map><img src=a.gif usemap=#m>",
                 {Image("a.gif")}},
        RuleCase{"ImageBeforeMapNotesEveryArea",
                 "",
                 "<img src=a.gif usemap=#m><map name=M><area href=x.html><area href=y.html></map>",
                 "<img src=a.gif usemap=#m><map name=M><area href=x.html><area href=y.html></map>",
                 {Image("a.gif"), Note("a.gif", kDir + "x.html", 0, 0),
                  Note("a.gif", kDir + "y.html", 0, 0)}},
        RuleCase{"NoteStopsAtAction",
                 "note * href=*x.html action=1\n",
                 "<img src=a.gif usemap=#m><map name=m><area href=x.html><area href=y.html></map>",
                 "<img src=a.gif usemap=#m><map name=m><area href=x.html><area href=y.html></map>",
                 {Image("a.gif"), Note("a.gif", kDir + "x.html", 0, 1)}},
        RuleCase{"TwoImagesOneMap",
                 "",
                 "<img src=b.gif usemap=#m><img src=a.gif usemap=#m><map name=m><area "
                 "href=x.html></map>",
                 "<img src=b.gif usemap=#m><img src=a.gif usemap=#m><map name=m><area "
                 "href=x.html></map>",
                 {Image("b.gif"), Image("a.gif"), Note("a.gif", kDir + "x.html", 0, 0)}},
        RuleCase{"MapNameWithEquals",
                 "",
                 "<img src=a.gif usemap=\"#a=b\"><map name=\"a=b\"><area href=x.html></map>",
                 "<img src=a.gif usemap=\"#a=b\"><map name=\"a=b\"><area href=x.html></map>",
                 {Image("a.gif")}},
        RuleCase{"ImageInsideMapTakesBothPaths",
                 "",
                 "<map name=m><area href=x.html><img src=a.gif usemap=#m><area "
                 "href=y.html></map>",
                 "<map name=m><area href=x.html><img src=a.gif usemap=#m><area "
                 "href=y.html></map>",
                 {Image("a.gif", kDir + "x.html"), Note("a.gif", kDir + "x.html", 0, 0),
                  Note("a.gif", kDir + "y.html", 0, 0)}},
        RuleCase{"AreaAndMapEndWithoutMap",
                 "",
                 "<area href=x.html></map><img src=a.gif>",
                 "<area href=x.html></map><img src=a.gif>",
                 {Image("a.gif")}},
        RuleCase{"NoteStatusStopsRewriting",
                 "note * status=9\n",
                 "<img src=a.gif usemap=#m><map name=m><area href=x.html><area "
                 "href=y.html></map><img src=b.gif>",
                 "<img src=a.gif usemap=#m><map name=m><area href=x.html><area "
                 "href=y.html></map><img src=b.gif>",
                 {Image("a.gif"), Note("a.gif", kDir + "x.html", 9, 0)}}),
    [](const testing::TestParamInfo<RuleCase>& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    FramesAndObjects, Rewriting,
    testing::Values(
        RuleCase{"DroppedFrameKeepsContent",
                 "html * action=2\n",
                 "<iframe src=f.html><img src=a.gif>text</iframe>after",
                 "<img src=a.gif>textafter",
                 {Frame(kDir + "f.html", 2), Image("a.gif")}},
        RuleCase{"KeptFrameKeepsEndTag",
                 "",
                 "<iframe src=f.html>x</iframe>",
                 "<iframe src=f.html>x</iframe>",
                 {Frame(kDir + "f.html", 0)}},
        RuleCase{
            "FrameWithoutSource", "", "<iframe></iframe>", "<iframe></iframe>", {Frame("", 0)}},
        // Only the first end tag after a dropped frame goes with it.
        RuleCase{"EndTagOfDroppedFrameClearsTheSkip",
                 "html * action=2\n",
                 "<iframe src=ad.html></iframe>x</iframe>",
                 "x</iframe>",
                 {Frame(kDir + "ad.html", 2)}},
        RuleCase{"LaterFrameConsultedAfresh",
                 "html *ad* action=3\n",
                 "<iframe src=ad.html><iframe src=ok.html></iframe>x</iframe>",
                 "<iframe src=ok.html></iframe>x</iframe>",
                 {Frame(kDir + "ad.html", 3), Frame(kDir + "ok.html", 0)}},
        RuleCase{"FlashPlaceholderWithoutWidth",
                 "flash * action=3\n",
                 "a<object codebase=\"" + kMacromedia +
                     "\" height=40><param name=movie value=m.swf>text<embed src=m.swf></object>b",
                 "a<IMG WIDTH=\"\" HEIGHT=\"40\" border=0 alt=FLASH>b",
                 {Flash(3)}},
        RuleCase{"NestedFlashEndsAtFirstEnd",
                 "flash * action=2\n",
                 "<object codebase=\"HTTP://DOWNLOAD.MACROMEDIA.COM/x\"><object codebase=\"" +
                     kMacromedia + "\"><img src=a.gif><a href=x></object>mid</object>end",
                 "[FLASH]mid</object>end",
                 {Flash(2)}},
        RuleCase{"FlashOtherActionRemoves",
                 "flash * action=5\n",
                 "1<object codebase=" + kMacromedia + ">2</object>3",
                 "13",
                 {Flash(5)}},
        RuleCase{"FlashKept",
                 "",
                 "<object codebase=" + kMacromedia + " width=5><img src=a.gif></object>",
                 "<object codebase=" + kMacromedia + " width=5><img src=a.gif></object>",
                 {Flash(0), Image("a.gif")}},
        RuleCase{"ObjectWithoutCodebase",
                 "flash * action=2\n",
                 "<object data=x.swf></object><object codebase=http://download.macromedia.co>",
                 "<object data=x.swf></object><object codebase=http://download.macromedia.co>",
                 {}}),
    [](const testing::TestParamInfo<RuleCase>& info) { return std::string(info.param.name); });

// A failure inside URL resolution fails that Read with no bytes; the next
// Read takes the same tag again, and nothing is written or asked twice.
BOOL FailOnce(LPCSTR base, LPCSTR relative, LPSTR buffer, DWORD* size, DWORD flags);
KelCombineUrlFunction realCombine = nullptr;
bool failed = false;
BOOL FailOnce(LPCSTR base, LPCSTR relative, LPSTR buffer, DWORD* size, DWORD flags) {
  if (!failed && std::string(relative) == "b.gif") {
    failed = true;
    throw std::bad_alloc();
  }
  return realCombine(base, relative, buffer, size, flags);
}

TEST(RewritingFailure, FailedResolutionIsRetriedByTheNextRead) {
  test::CompanionSetup companion("image *b.gif action=2\n");
  failed = false;
  realCombine = KelReplaceInternetCombineUrl(FailOnce);
  test::Started f = test::StartOver({{"<p><img src=a.gif>text<img src=b.gif>end", S_FALSE}},
                                    test::CompanionPath(), std::wstring(kDoc.begin(), kDoc.end()));
  char buffer[256];
  ULONG count = 99;
  EXPECT_EQ(E_FAIL, f.filter->Read(buffer, sizeof buffer, &count));
  EXPECT_EQ(0u, count);
  const host::Drained d = host::ReadToEnd(f.filter.Get(), 256);
  KelReplaceInternetCombineUrl(realCombine);
  EXPECT_TRUE(failed);
  EXPECT_EQ(S_FALSE, d.last);
  EXPECT_EQ("<p><img src=a.gif>text[AD]end", d.bytes);
  EXPECT_EQ((std::vector<std::string>{"GetBinding\t->\t0\t1", Image("a.gif"),
                                      Image("b.gif", "", -1, -1, 0, 2)}),
            companion.Log());
}

TEST(RewritingStats, CountsRewrittenAndDroppedTags) {
  test::CompanionSetup companion("image *a.gif action=2\nimage *b.gif action=1\n");
  test::Started f =
      test::StartOver({{"<img src=a.gif><img src=b.gif><img src=c.gif><p>", S_FALSE}});
  host::ReadToEnd(f.filter.Get(), 256);
  EXPECT_EQ(4u, f.object->Stats().TagsSeen);
  EXPECT_EQ(1u, f.object->Stats().TagsRewritten);
  EXPECT_EQ(1u, f.object->Stats().TagsDropped);
  EXPECT_EQ(4u, f.object->Stats().CompanionCalls);  // GetBinding and three images
}

}  // namespace
}  // namespace kel
