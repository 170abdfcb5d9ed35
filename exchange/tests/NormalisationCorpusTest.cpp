// The normalisation transform over a corpus of awkward inputs, each with the
// status, the line-break flag and the exact text it gives: text split by
// comments, processing instructions and CDATA sections, character and entity
// references in text, attributes and namespace names, attribute order by
// UTF-16 code unit, undeclared prefixes, names the parser cannot split,
// failures after an element without a namespace, document types, encodings
// and byte-order marks. Any way of reading the input must keep every row.
#include "exchange/NormalisationTransform.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using trumik::exchange::Normalise;
using trumik::exchange::NormaliseStatus;

struct Row {
    std::string input;
    int status; // NormaliseStatus
    bool rawLineBreakOrTab;
    std::string output;
};

const Row kRows[] = {
    {"<r xmlns=\"urn:r\">a<!--c-->b<![CDATA[<x>&]]>c<?pi d?>e<i/>f</r>", 0, false,
     "<ns1:r xmlns:ns1=\"urn:r\">ab&lt;x&gt;&amp;ce<ns1:i></ns1:i>f</ns1:r>"},
    {"<r xmlns=\"urn:r\"> <!--c--> <a/> \t\n <![CDATA[ ]]> <b> <![CDATA[x]]> </b></r>", 0, false,
     "<ns1:r xmlns:ns1=\"urn:r\"><ns1:a></ns1:a><ns1:b> x </ns1:b></ns1:r>"},
    {"<r xmlns=\"urn:r\" a=\"x&amp;y&#38;z&lt;&#x3C;&quot;'&#9;&#10;&#13;\ttab\nlf\"/>", 0, true,
     "<ns1:r xmlns:ns1=\"urn:r\" a=\"x&amp;y&amp;z&lt;&lt;&quot;'\x09"
     "\x0A"
     "\x0D"
     " tab lf\"></ns1:r>"},
    {"<r xmlns=\"urn:r\" xmlns:a=\"urn:z\" xmlns:b=\"urn:a\" a:x=\"1\" b:y=\"2\" \xF0\x90\x80\x80=\"3\" "
     "\xEF\xBD\x9A=\"4\" b=\"5\" a:\xF0\x90\x80\x80=\"6\" a:\xEF\xBD\x9A=\"7\"/>",
     0, false,
     "<ns1:r xmlns:ns1=\"urn:r\" xmlns:ns2=\"urn:a\" xmlns:ns3=\"urn:z\" ns2:y=\"2\" ns3:x=\"1\" ns3:\xF0"
     "\x90"
     "\x80"
     "\x80"
     "=\"6\" ns3:\xEF"
     "\xBD"
     "\x9A"
     "=\"7\" b=\"5\" \xF0"
     "\x90"
     "\x80"
     "\x80"
     "=\"3\" \xEF"
     "\xBD"
     "\x9A"
     "=\"4\"></ns1:r>"},
    {"<r xmlns=\"urn:r\" xml:lang=\"ru\"><a xml:space=\"preserve\" "
     "xmlns:x=\"http://www.w3.org/XML/1998/namespace\" x:base=\"b\">t</a></r>",
     1, false, ""},
    {"<r xmlns=\"urn:r\"><p:x/></r>", 2, false, ""},
    {"<r xmlns=\"urn:r\" p:a=\"1\"/>", 1, false, ""},
    {"<r xmlns=\"urn:r\"><a:b:c xmlns:a=\"urn:a\"/></r>", 1, false, ""},
    {"<r xmlns=\"urn:r\"><a/><:b/></r>", 1, false, ""},
    {"<r xmlns=\"urn:r\"><a xmlns=\"\"/><:b/></r>", 2, false, ""},
    {"<r><a xmlns=\"urn:a\"></r>", 1, false, ""},
    {"<r xmlns=\"urn:r\"><a xmlns=\"\"/></r><!--x--><bad", 1, false, ""},
    {"<r xmlns=\"urn:r\"><a xmlns=\"urn:x\"><b xmlns=\"urn:r\"/><c xmlns:q=\"urn:x\" q:z=\"1\"/></a><d "
     "xmlns=\"urn:x\"/></r>",
     0, false,
     "<ns1:r xmlns:ns1=\"urn:r\"><ns2:a xmlns:ns2=\"urn:x\"><ns1:b></ns1:b><ns2:c "
     "ns2:z=\"1\"></ns2:c></ns2:a><ns3:d xmlns:ns3=\"urn:x\"></ns3:d></ns1:r>"},
    {"<r xmlns=\"urn:r\">a&#13;b&#xD;&#10;c\r\nd\re</r>", 0, true,
     "<ns1:r xmlns:ns1=\"urn:r\">a\x0D"
     "b\x0D"
     "\x0A"
     "c\x0A"
     "d\x0A"
     "e</ns1:r>"},
    {"<r xmlns=\"urn:a&amp;b&#38;#38;c\" xmlns:q=\"urn:&quot;q&quot;\" q:x=\"&amp;#38;\"/>", 0, false,
     "<ns1:r xmlns:ns1=\"urn:a&amp;b&amp;#38;c\" xmlns:ns2=\"urn:&quot;q&quot;\" "
     "ns2:x=\"&amp;#38;\"></ns1:r>"},
    {"<!DOCTYPE r><r xmlns=\"urn:r\"/>", 1, false, ""},
    {"<!DOCTYPE r SYSTEM \"http://example.invalid/x.dtd\"><r xmlns=\"urn:r\"/>", 1, false, ""},
    {"<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>\n<!--before--><?pi before?><r xmlns=\"urn:r\" "
     "a=\"\xE9\">\xE9\xFF</r><!--after--><?pi after?>",
     0, false,
     "<ns1:r xmlns:ns1=\"urn:r\" a=\"\xC3"
     "\xA9"
     "\">\xC3"
     "\xA9"
     "\xC3"
     "\xBF"
     "</ns1:r>"},
    {"\xEF\xBB\xBF<r xmlns=\"urn:r\">\xD0\xAF</r>", 0, false,
     "<ns1:r xmlns:ns1=\"urn:r\">\xD0"
     "\xAF"
     "</ns1:r>"},
    {std::string("\xFF\xFE<\0r\0 \0x\0m\0l\0n\0s\0=\0\"\0u\0:\0r\0\"\0>\0\x2F\x04<\0/\0r\0>\0", 40), 1, false,
     ""},
    {"<r xmlns=\"urn:r\">&e;</r>", 1, false, ""},
    {"<r xmlns=\"urn:r\" a=\"\" xmlns:s=\"urn:r\" s:b=\"\" s:a=\"x\"><s:c/></r>", 0, false,
     "<ns1:r xmlns:ns1=\"urn:r\" ns1:a=\"x\" ns1:b=\"\" a=\"\"><ns1:c></ns1:c></ns1:r>"},
    {"<r xmlns=\"urn:r\">&amp;&lt;&gt;&quot;&apos;]]&gt; &#x10000;\xF0\x9F\x98\x80</r>", 0, false,
     "<ns1:r xmlns:ns1=\"urn:r\">&amp;&lt;&gt;\"']]&gt; \xF0"
     "\x90"
     "\x80"
     "\x80"
     "\xF0"
     "\x9F"
     "\x98"
     "\x80"
     "</ns1:r>"},
    {"", 1, false, ""},
    {"   ", 1, false, ""},
    {"<r xmlns=\"urn:r\"/>trailing", 1, false, ""},
    {"<r xmlns=\"urn:r\"/><r2/>", 1, false, ""},
    {"<r xmlns=\"urn:r\"><a b=\"1\" b=\"2\"/></r>", 1, false, ""},
    {"<r xmlns=\"urn:r\" xmlns:p=\"urn:p\" xmlns:q=\"urn:p\"><a p:x=\"1\" q:y=\"2\"/></r>", 0, false,
     "<ns1:r xmlns:ns1=\"urn:r\"><ns1:a xmlns:ns2=\"urn:p\" ns2:x=\"1\" ns2:y=\"2\"></ns1:a></ns1:r>"},
    {"<r xmlns=\"urn:r\" xmlns:p=\"urn:p\" xmlns:q=\"urn:p\"><a p:x=\"1\" q:x=\"2\"/></r>", 0, false,
     "<ns1:r xmlns:ns1=\"urn:r\"><ns1:a xmlns:ns2=\"urn:p\" ns2:x=\"1\" ns2:x=\"2\"></ns1:a></ns1:r>"},
    {"<r xmlns=\"urn:r\"><a xmlns:p=\"\"/></r>", 0, false,
     "<ns1:r xmlns:ns1=\"urn:r\"><ns1:a></ns1:a></ns1:r>"},
    {"<r xmlns=\"urn:r\"><xmlns:a/></r>", 2, false, ""},
    {"<r xmlns=\"urn:r\" xmlns:xml=\"http://www.w3.org/XML/1998/namespace\"/>", 0, false,
     "<ns1:r xmlns:ns1=\"urn:r\"></ns1:r>"},
    {"<r xmlns=\"urn:r\"><a>  x  </a><b>\t</b><c>\xC2\xA0</c></r>", 0, false,
     "<ns1:r xmlns:ns1=\"urn:r\"><ns1:a>  x  </ns1:a><ns1:b></ns1:b><ns1:c>\xC2"
     "\xA0"
     "</ns1:c></ns1:r>"},
    {"<r xmlns=\"urn:r\"><![CDATA[]]></r>", 0, false, "<ns1:r xmlns:ns1=\"urn:r\"></ns1:r>"},
    {"<r xmlns=\"urn:r\" a=\"&#x10000;\" b=\"  sp  aces  \"/>", 0, false,
     "<ns1:r xmlns:ns1=\"urn:r\" a=\"\xF0"
     "\x90"
     "\x80"
     "\x80"
     "\" b=\"  sp  aces  \"></ns1:r>"},
    {"<?xml version=\"1.1\"?><r xmlns=\"urn:r\">&#x1;</r>", 1, false, ""},
    {"<r xmlns=\"urn:r\"><!-- only a comment --></r>", 0, false, "<ns1:r xmlns:ns1=\"urn:r\"></ns1:r>"},
};

TEST(NormalisationCorpus, EveryRowGivesItsStatusFlagAndText)
{
    for (const Row& row : kRows) {
        std::string out = "stale";
        const auto result =
            Normalise(reinterpret_cast<const unsigned char*>(row.input.data()), row.input.size(), out);
        EXPECT_EQ(static_cast<int>(result.status), row.status) << row.input;
        EXPECT_EQ(result.rawLineBreakOrTab, row.rawLineBreakOrTab) << row.input;
        EXPECT_EQ(out, row.output) << row.input;
    }
}

TEST(NormalisationCorpus, DeepNestingIsWrittenWholeAndTooDeepIsRefused)
{
    // Deeper than the parser's default limit, within its limit for huge
    // documents; each level reuses the root's prefix.
    const int depth = 1500;
    std::string input, expected;
    for (int i = 0; i < depth; ++i) {
        input += i == 0 ? "<e xmlns=\"urn:d\" n=\"0\">" : "<e n=\"" + std::to_string(i) + "\">";
        expected +=
            i == 0 ? "<ns1:e xmlns:ns1=\"urn:d\" n=\"0\">" : "<ns1:e n=\"" + std::to_string(i) + "\">";
    }
    input += "x";
    expected += "x";
    for (int i = 0; i < depth; ++i) {
        input += "</e>";
        expected += "</ns1:e>";
    }
    std::string out;
    auto result = Normalise(reinterpret_cast<const unsigned char*>(input.data()), input.size(), out);
    EXPECT_EQ(result.status, NormaliseStatus::Ok);
    EXPECT_EQ(out, expected);

    std::string tooDeep;
    for (int i = 0; i < 20000; ++i)
        tooDeep += "<e xmlns=\"urn:d\">";
    result = Normalise(reinterpret_cast<const unsigned char*>(tooDeep.data()), tooDeep.size(), out);
    EXPECT_EQ(result.status, NormaliseStatus::NotParsed);
    EXPECT_EQ(out, "");
}

} // namespace
