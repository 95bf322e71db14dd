// The wiki dump splitter: the examples stream by stream, byte for byte,
// and exact merges of real dumps.
#include "tricks/wiki/xml_convertor.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "buffers/data_buffer.h"
#include "tests/driver/hand_made_archive.h"
#include "tests/test_build.h"

namespace zubreca {
namespace {

using testkit::Bytes;

struct SPLIT {
  std::string text, markup, link, lang, number;
  bool mergesBack = false;
};

std::string Contents(DATA_BUFFER* buffer) {
  return std::string(reinterpret_cast<const char*>(buffer->data()), static_cast<size_t>(buffer->length));
}

// Splits `input`, merges the streams back and tells both.
SPLIT Split(const std::string& input) {
  DATA_BUFFER source(static_cast<int>(input.size()), 128, nullptr);
  source.writeBlock(input.data(), static_cast<int>(input.size()));
  source.flip();
  WIKI_STREAMS streams = XML_CONVERTOR().split(source.data(), source.length);
  SPLIT result;
  DATA_BUFFER* buffers[] = {streams.text, streams.markup, streams.link, streams.lang, streams.number};
  std::string* texts[] = {&result.text, &result.markup, &result.link, &result.lang, &result.number};
  for (int i = 0; i < 5; ++i) {
    buffers[i]->flip();
    *texts[i] = Contents(buffers[i]);
  }
  DATA_BUFFER* merged = XML_CONVERTOR().merge(streams);
  if (merged) {
    merged->flip();
    result.mergesBack = Contents(merged) == input;
    delete merged;
  }
  for (DATA_BUFFER* buffer : buffers) delete buffer;
  return result;
}

TEST(XmlConvertor, PageExample) {
  const SPLIT s = Split("<page><title>A&amp;B</title><id>12</id></page>");
  EXPECT_EQ(s.markup, std::string("<page><title><id>") + Bytes({0, 0}));
  EXPECT_EQ(s.text, Bytes({'A', '&', 2, 'B', 0}));
  EXPECT_EQ(s.number, Bytes({65, 66, 0}));
  EXPECT_EQ(s.link, "");
  EXPECT_EQ(s.lang, "");
  EXPECT_TRUE(s.mergesBack);
}

// Text content inside <text>...</text>: the markup constructs.
std::string TextStream(const std::string& content) {
  const SPLIT s = Split("<text>" + content + "</text>");
  EXPECT_TRUE(s.mergesBack) << content;
  return s.text.substr(0, s.text.size() - 1);  // without the closing tag's 0
}

TEST(XmlConvertor, MarkupExamples) {
  EXPECT_EQ(TextStream("''x''"), Bytes({34, 'x', 31}));
  EXPECT_EQ(TextStream("'''b'''"), Bytes({34, 39, 'b', 31}));
  EXPECT_EQ(TextStream("== H =="), Bytes({'=', '=', ' ', 'H', ' ', 31}));
  EXPECT_EQ(TextStream("{{x}}"), Bytes({19, 19, 'x', 31}));
  EXPECT_EQ(TextStream("[[a|b]]"), Bytes({17, 17, 'a', 16, 'b', 31}));
  // Eight apostrophes after an open italic: two close it, six open bold
  // italic coded as three pairs.
  EXPECT_EQ(TextStream("''a''''''''b"), Bytes({34, 'a', 31, 34, 34, 34, 'b'}));
}

TEST(XmlConvertor, InterlanguageLinks) {
  const SPLIT s = Split("<text>[[de:Foo]]</text>");
  EXPECT_EQ(s.text, Bytes({30, 0}));
  EXPECT_EQ(s.lang, Bytes({0, 1, 2, 'd', 'e', ':', 'F', 'o', 'o'}));
  EXPECT_TRUE(s.mergesBack);
  EXPECT_EQ(Split("<text>[[Category:X]]</text>").lang, "");
  for (const std::string link : {"zh-min-nan:X", "simple:X", "fiu-vro:Y", "ang:Z"}) {
    const SPLIT other = Split("<text>[[" + link + "]]</text>");
    EXPECT_EQ(other.lang, Bytes({0, 1, 2}) + link) << link;
    EXPECT_TRUE(other.mergesBack) << link;
  }
  const auto lang = [](const char* text) {
    return XML_CONVERTOR::isLangTrans(reinterpret_cast<const uint8_t*>(text),
                                      reinterpret_cast<const uint8_t*>(text) + strlen(text));
  };
  EXPECT_TRUE(lang("de:"));
  EXPECT_TRUE(lang("nds:"));
  EXPECT_FALSE(lang("de"));
  EXPECT_FALSE(lang("De:"));
  EXPECT_FALSE(lang("simple"));
}

TEST(XmlConvertor, ExternalLinks) {
  const SPLIT s = Split("<text>http://x/y c</text>");
  EXPECT_EQ(s.text, Bytes({8, ' ', 'c', 0}));
  EXPECT_EQ(s.link, std::string(15, '\0') + "x/y");
  EXPECT_TRUE(s.mergesBack);
  const SPLIT braces = Split("<text>http://x}}</text>");
  EXPECT_EQ(braces.link, std::string(15, '\0') + "x");
  EXPECT_EQ(braces.text, Bytes({8, 20, 20, 0}));
  EXPECT_TRUE(braces.mergesBack);
}

TEST(XmlConvertor, NumberElements) {
  // An id inside neither revision nor page stays, and so does an id that
  // is the outermost element; a timestamp anywhere moves.
  EXPECT_EQ(Split("<contributor><id>7</id></contributor>").number, "");
  EXPECT_EQ(Split("<id>7</id>").number, "");
  EXPECT_EQ(Split("<a><timestamp>9</timestamp></a>").number, Bytes({'9' + 16, 1}));
  EXPECT_EQ(Split("<revision><id>5</id></revision>").number, Bytes({'5' + 16, 2}));
}

TEST(XmlConvertor, ClosingTagWithABlankIsCopied) {
  const SPLIT s = Split("<page>x</page >");
  EXPECT_EQ(s.markup, "<page>x</page >");
  EXPECT_TRUE(s.mergesBack);
}

TEST(XmlConvertor, RealDumpsMergeBack) {
  NEEDS_CORPUS();
  for (const char* name : {"enwiki-latest-pages-articles1.xml-p000000010p000010000-shortened.xml",
                           "enwiki-latest-pages-articles1.xml-p000000010p000030302-shortened.xml"}) {
    std::ifstream file(testkit::CorpusRoot() + "/wiki/" + name, std::ios::binary);
    std::ostringstream contents;
    contents << file.rdbuf();
    const SPLIT s = Split(contents.str());
    EXPECT_TRUE(s.mergesBack) << name;
    EXPECT_GT(s.link.size(), 1000u);
    EXPECT_GT(s.lang.size(), 100u);
    EXPECT_GT(s.number.size(), 1000u);
  }
}

}  // namespace
}  // namespace zubreca
