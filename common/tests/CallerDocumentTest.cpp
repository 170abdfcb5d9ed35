#include "common/CallerDocument.h"

#include <libxml/parser.h>

#include <gtest/gtest.h>

#include <cstdarg>
#include <cstdio>
#include <string>
#include <vector>

using namespace trumik::common;

namespace {

// The parser's reports of one parse, as text.
std::string g_reports;

void CollectReport(void*, const char* format, ...)
{
    char text[2048];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    g_reports += text;
}

// Parser settings as the library start-up makes them, reports collected.
class CallerDocument : public ::testing::Test {
  protected:
    void SetUp() override
    {
        substitute_ = xmlSubstituteEntitiesDefault(1);
        loadDtd_ = xmlLoadExtDtdDefaultValue;
        xmlLoadExtDtdDefaultValue = XML_DETECT_IDS | XML_COMPLETE_ATTRS;
        xmlSetGenericErrorFunc(nullptr, CollectReport);
    }
    void TearDown() override
    {
        xmlSetGenericErrorFunc(nullptr, nullptr);
        xmlSubstituteEntitiesDefault(substitute_);
        xmlLoadExtDtdDefaultValue = loadDtd_;
    }

    static std::string Dump(xmlDocPtr doc)
    {
        xmlChar* bytes = nullptr;
        int size = 0;
        xmlDocDumpMemory(doc, &bytes, &size);
        std::string text(reinterpret_cast<const char*>(bytes), static_cast<size_t>(size));
        xmlFree(bytes);
        return text;
    }

    static ConvertedBytes Converted(const std::string& text)
    {
        ConvertedBytes bytes;
        bytes.data = std::make_unique<char[]>(text.size() + 1);
        std::copy(text.begin(), text.end(), bytes.data.get());
        bytes.size = text.size() + 1;
        return bytes;
    }

  private:
    int substitute_ = 0;
    int loadDtd_ = 0;
};

std::vector<std::string> Documents()
{
    std::string rows;
    for (int i = 0; i < 3000; ++i)
        rows += "<i n=\"" + std::to_string(i) + "\">Строка &amp; номер " + std::to_string(i) + "</i>\n";
    return {
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?><r>" + rows + "</r>",
        "<r>" + rows + "</r>\n<!--after-->",
        "<?xml version=\"1.0\" encoding=\"windows-1251\"?><r>\xD1\xF7\xB8\xF2</r>",
        "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><r>\xE9</r>",
        "<!DOCTYPE r [<!ENTITY e \"ent\"><!ATTLIST r a CDATA \"def\">]><r>&e;</r>",
        "<?pi x?><r><![CDATA[ a<b ]]><x:y xmlns:x=\"urn:x\"/></r>",
        "<r><a><b/></a><c d=\"&#10;\"/></r>",
        // Refused, each with the reports of its own failure, some far into a large text.
        "<r><a></r>",
        "<r>" + rows + "<a></r>",
        "<r>&undefined;</r>",
        "<r a=\"1\" a=\"2\"/>",
        "",
        "<r>\xFF</r>",
        "<r/><x/>",
        std::string(300, '<'),
    };
}

} // namespace

TEST_F(CallerDocument, ConvertedBytesParseAsTheLibraryParsesThem)
{
    for (const std::string& text : Documents()) {
        g_reports.clear();
        xmlDocPtr expected = xmlParseDoc(reinterpret_cast<const xmlChar*>(text.c_str()));
        const std::string expectedReports = g_reports;
        g_reports.clear();
        UniqueXmlDoc doc = ParseCallerDocument(Converted(text));
        EXPECT_EQ(g_reports, expectedReports) << text.substr(0, 80);
        ASSERT_EQ(doc != nullptr, expected != nullptr) << text.substr(0, 80);
        if (expected) {
            EXPECT_EQ(Dump(doc.get()), Dump(expected)) << text.substr(0, 80);
            xmlFreeDoc(expected);
        }
    }
}

TEST_F(CallerDocument, SerialisedAsTheLibraryDumpsInEveryEncodingAndRoom)
{
    for (const std::string& text : Documents()) {
        UniqueXmlDoc doc(xmlParseDoc(reinterpret_cast<const xmlChar*>(text.c_str())));
        if (!doc)
            continue;
        for (const char* encoding :
             {static_cast<const char*>(nullptr), "UTF-8", "windows-1251", "ISO-8859-1"}) {
            xmlChar* dumped = nullptr;
            int size = 0;
            xmlDocDumpMemoryEnc(doc.get(), &dumped, &size, encoding);
            ASSERT_TRUE(dumped);
            UniqueBstr expected = Utf8ToBstr(reinterpret_cast<const char*>(dumped));
            xmlFree(dumped);
            // No room, too little, and more than enough.
            for (size_t room : {size_t{0}, size_t{16}, text.size() * 3 + 8192}) {
                UniqueBstr serialised = SerializedDocument(doc.get(), encoding, room);
                EXPECT_EQ(View(serialised.get()), View(expected.get()))
                    << (encoding ? encoding : "own") << " " << room << " " << text.substr(0, 80);
            }
        }
    }
    // An encoding the library does not know gives no text, as before.
    UniqueXmlDoc doc(xmlParseDoc(reinterpret_cast<const xmlChar*>("<r/>")));
    g_reports.clear();
    EXPECT_THROW(SerializedDocument(doc.get(), "no-such-encoding"), std::bad_alloc);
    EXPECT_NE(g_reports.find("no-such-encoding"), std::string::npos);
}
