// The normalisation transform rule by rule, and the example of the exchange
// profile byte for byte.
#include "exchange/NormalisationTransform.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using trumik::exchange::Normalise;
using trumik::exchange::NormaliseStatus;

std::string Normalised(const std::string& xml, NormaliseStatus expected = NormaliseStatus::Ok)
{
    std::string out = "stale";
    const auto result = Normalise(reinterpret_cast<const unsigned char*>(xml.data()), xml.size(), out);
    EXPECT_EQ(result.status, expected) << xml;
    if (expected != NormaliseStatus::Ok) {
        EXPECT_EQ(out, "");
    }
    return out;
}

TEST(NormalisationTransform, TheProfileExampleGivesExactlyTheExpectedText)
{
    // The element with Id="D1", as exclusive C14N hands it over.
    const std::string c14n =
        "<b:Data xmlns:b=\"urn:b\" xmlns:c=\"urn:c\" Id=\"D1\" a=\"3\" z=\"1\" b:y=\"2\" c:x=\"4\">\n"
        "     \n"
        "     <Empty xmlns=\"urn:a\"></Empty>\n"
        "     <b:Text>  \xD1\x82\xD0\xB5\xD0\xBA\xD1\x81\xD1\x82 &amp; &lt;x&gt; \"q\" </b:Text>\n"
        "     <Other xmlns=\"urn:d\"><Inner attr=\"v&quot;&amp;\"></Inner></Other>\n"
        "  </b:Data>";
    const std::string expected =
        "<ns1:Data xmlns:ns1=\"urn:b\" xmlns:ns2=\"urn:c\" ns1:y=\"2\" ns2:x=\"4\" Id=\"D1\" a=\"3\" z=\"1\">"
        "<ns3:Empty xmlns:ns3=\"urn:a\"></ns3:Empty>"
        "<ns1:Text>  \xD1\x82\xD0\xB5\xD0\xBA\xD1\x81\xD1\x82 &amp; &lt;x&gt; \"q\" </ns1:Text>"
        "<ns4:Other xmlns:ns4=\"urn:d\"><ns4:Inner attr=\"v&quot;&amp;\"></ns4:Inner></ns4:Other></ns1:Data>";
    EXPECT_EQ(Normalised(c14n), expected);
    // The example's own text (declaration, comment, unused and default
    // declarations, single quotes) gives the same.
    const std::string original =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        "<b:Data xmlns=\"urn:a\" xmlns:b=\"urn:b\" xmlns:unused=\"urn:u\" Id=\"D1\" z=\"1\" b:y=\"2\" "
        "a=\"3\" "
        "xmlns:c=\"urn:c\" c:x=\"4\">\n"
        "     <!-- comment -->\n"
        "     <Empty/>\n"
        "     <b:Text>  \xD1\x82\xD0\xB5\xD0\xBA\xD1\x81\xD1\x82 &amp; &lt;x&gt; \"q\" </b:Text>\n"
        "     <Other xmlns=\"urn:d\"><Inner attr='v\"&amp;'/></Other>\n"
        "  </b:Data>";
    EXPECT_EQ(Normalised(original), expected);
}

TEST(NormalisationTransform, PrefixesCountThroughTheFragmentAndDeclarationsEndWithTheirElement)
{
    // Two sibling subtrees in one namespace: the second gets a new number,
    // the counter never restarts; a child reuses its ancestor's prefix.
    EXPECT_EQ(Normalised("<r xmlns=\"urn:r\"><a xmlns=\"urn:x\"><b/></a><c xmlns=\"urn:x\"/></r>"),
              "<ns1:r xmlns:ns1=\"urn:r\"><ns2:a xmlns:ns2=\"urn:x\"><ns2:b></ns2:b></ns2:a>"
              "<ns3:c xmlns:ns3=\"urn:x\"></ns3:c></ns1:r>");
    // Input prefixes mean nothing: the same namespace under two prefixes is one.
    EXPECT_EQ(Normalised("<p:r xmlns:p=\"urn:r\" xmlns:q=\"urn:r\"><q:a/></p:r>"),
              "<ns1:r xmlns:ns1=\"urn:r\"><ns1:a></ns1:a></ns1:r>");
}

TEST(NormalisationTransform, AttributesSortByNamespaceThenNameAndDeclareAfterTheElement)
{
    // The element's namespace is declared first, then the attributes' in
    // their sorted order; an attribute in the element's namespace reuses it.
    EXPECT_EQ(
        Normalised("<e:r xmlns:e=\"urn:e\" xmlns:z=\"urn:z\" xmlns:a=\"urn:a\" b=\"1\" A=\"2\" z:k=\"3\" "
                   "a:m=\"4\" a:l=\"5\" e:x=\"6\"/>"),
        "<ns1:r xmlns:ns1=\"urn:e\" xmlns:ns2=\"urn:a\" xmlns:ns3=\"urn:z\" ns2:l=\"5\" ns2:m=\"4\" "
        "ns1:x=\"6\" ns3:k=\"3\" A=\"2\" b=\"1\"></ns1:r>");
    // Compared by UTF-16 code unit: U+FF41 (one unit) sorts after U+10400
    // (a surrogate pair starting at 0xD801), though its UTF-8 bytes sort first.
    EXPECT_EQ(Normalised("<r xmlns=\"urn:r\" \xEF\xBD\x81=\"1\" \xF0\x90\x90\x80=\"2\"/>"),
              "<ns1:r xmlns:ns1=\"urn:r\" \xF0\x90\x90\x80=\"2\" \xEF\xBD\x81=\"1\"></ns1:r>");
}

TEST(NormalisationTransform, WhitespaceOnlyTextGoesOtherTextStaysAsItStands)
{
    EXPECT_EQ(Normalised("<r xmlns=\"urn:r\"> \t\n\r <a> x </a>&#x9;<b>\t</b></r>"),
              "<ns1:r xmlns:ns1=\"urn:r\"><ns1:a> x </ns1:a><ns1:b></ns1:b></ns1:r>");
    // Comments and processing instructions go first, so the text around them
    // is one text.
    EXPECT_EQ(Normalised("<r xmlns=\"urn:r\">a<!--c--> <?pi x?>b</r>"),
              "<ns1:r xmlns:ns1=\"urn:r\">a b</ns1:r>");
    EXPECT_EQ(Normalised("<r xmlns=\"urn:r\"> <!--c--> </r>"), "<ns1:r xmlns:ns1=\"urn:r\"></ns1:r>");
    // CDATA is text, escaped on output.
    EXPECT_EQ(Normalised("<r xmlns=\"urn:r\"><![CDATA[<&>]]></r>"),
              "<ns1:r xmlns:ns1=\"urn:r\">&lt;&amp;&gt;</ns1:r>");
}

TEST(NormalisationTransform, EscapingAndCyrillicText)
{
    EXPECT_EQ(Normalised("<r xmlns=\"urn:r\" v=\"&lt;&gt;&amp;&quot;'\">\"'&gt;\xD0\xAF</r>"),
              "<ns1:r xmlns:ns1=\"urn:r\" v=\"&lt;&gt;&amp;&quot;'\">\"'&gt;\xD0\xAF</ns1:r>");
}

TEST(NormalisationTransform, RefusesElementsWithoutNamespaceAndWhatIsNotXml)
{
    Normalised("<r/>", NormaliseStatus::NoNamespace);
    Normalised("<r xmlns=\"urn:r\"><inner xmlns=\"\"/></r>", NormaliseStatus::NoNamespace);
    Normalised("<r xmlns=\"urn:r\">", NormaliseStatus::NotParsed);
    Normalised("", NormaliseStatus::NotParsed);
    Normalised("<!DOCTYPE r [<!ENTITY e \"x\">]><r xmlns=\"urn:r\">&e;</r>", NormaliseStatus::NotParsed);
}

TEST(NormalisationTransform, NamespaceNamesAreWrittenAsTheDocumentMeansThem)
{
    // "&amp;" in a declaration is one "&" of the name, escaped once on output.
    EXPECT_EQ(Normalised("<r xmlns=\"urn:a&amp;b\" xmlns:q=\"urn:&lt;q&gt;\" q:x=\"1\"/>"),
              "<ns1:r xmlns:ns1=\"urn:a&amp;b\" xmlns:ns2=\"urn:&lt;q&gt;\" ns2:x=\"1\"></ns1:r>");
    // Names the parser cannot split into prefix and local name.
    Normalised("<r xmlns=\"urn:r\"><:b/></r>", NormaliseStatus::NotParsed);
}

TEST(NormalisationTransform, TheXmlNamespaceKeepsItsPrefix)
{
    EXPECT_EQ(Normalised("<r xmlns=\"urn:r\" xml:lang=\"ru\" a=\"1\"/>"),
              "<ns1:r xmlns:ns1=\"urn:r\" xml:lang=\"ru\" a=\"1\"></ns1:r>");
}

TEST(NormalisationTransform, OutputIsAFixedPoint)
{
    const std::string inputs[] = {
        "<p:r xmlns:p=\"urn:r\" xmlns=\"urn:d\"><a x=\"1\" p:y=\"2\"> t </a><!--c--><b/>\xD0\xAF</p:r>",
        "<r xmlns=\"urn:r\"><a xmlns=\"urn:x\"><b/></a><c xmlns=\"urn:x\"/></r>",
    };
    for (const std::string& input : inputs) {
        const std::string once = Normalised(input);
        EXPECT_EQ(Normalised(once), once);
    }
    // A carriage return in text is written as itself and read back as a line
    // feed: reported, so that callers know the output is no fixed point.
    std::string out;
    const std::string cr = "<r xmlns=\"urn:r\">a&#xD;b</r>";
    auto result = Normalise(reinterpret_cast<const unsigned char*>(cr.data()), cr.size(), out);
    EXPECT_EQ(out, "<ns1:r xmlns:ns1=\"urn:r\">a\rb</ns1:r>");
    EXPECT_TRUE(result.rawLineBreakOrTab);
}

} // namespace
