// What the commands that call the component share: reading their command
// line (usage errors named on standard error, exit status 2), reading the
// document they work on and creating the object they call.
#pragma once

#include "AdminSupport.h"
#include "Automation.h"

#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace trumik::host {

// The options of one command: "--name VALUE" for the names in `valued`,
// "--name" for the names in `flags`, one-letter forms in `letters` ("-o" for
// "out"), and at most `maxInputs` positional arguments ("-" among them, for
// standard input). `required` names the valued options the command cannot do
// without.
struct CommandSyntax {
    const char* topic;
    std::set<std::string> valued;
    std::set<std::string> flags;
    std::map<std::string, std::string> letters;
    std::vector<std::string> required;
    size_t maxInputs = 1;
};

// Parses args; on a usage error prints it with UsageError and returns nullopt.
std::optional<Options> ParseCommandLine(const std::vector<std::string>& args, const CommandSyntax& syntax);

// Creates the object by ProgID; when it cannot, says so on standard error
// (with the hint to register the module) and returns false.
bool CreateForCommand(const std::string& progId, DispatchRef& object);

// A document as the component takes it: UTF-8 text, recoded from
// windows-1251 when the file declares that encoding (cp1251 is then true, and
// the result is written back in it).
struct Document {
    std::string text;
    bool cp1251 = false;
};
// Reads the document IN ("" or "-" for standard input), as UTF-8 when
// declaredCodePage is false; says so on standard error and returns nullopt
// when it cannot be read.
std::optional<Document> ReadDocument(const std::string& path, bool declaredCodePage = true);
// The document's text as a "str:" call argument. The document gives up its
// own copy, so that the host holds the text once.
std::string TakeTextArgument(Document& document);
// Writes a text result to OUT as the document's file has it: straight from
// its UTF-8 form, or recoded to windows-1251 when the document was in it.
bool WriteDocumentOutput(const std::string& path, const Document& like, BSTR text);

// Buffers up to 256 MB come from the heap, and freed heap memory stays with
// the process. A document passes through several large buffers one after
// another (its file, the argument, the parser's input, the result), and each
// then takes the pages of one freed before it instead of faulting in fresh
// ones. Small blocks are merged as they are freed. The document commands set
// it before they read their input.
void KeepLargeBuffersInHeap();

// What the document commands start with: the document IN, then the object PROGID.
struct DocumentCall {
    Document document;
    ComApartment com;
    DispatchRef object;
};
// Reads IN and creates the object; returns 0, or the exit status of the
// failure it reported (1: unreadable input, 2: no object).
int StartDocumentCall(const std::string& in, const char* progId, DocumentCall& call,
                      bool declaredCodePage = true);

// Writes bytes to OUT ("" or "-" for standard output); says so on standard
// error and returns false when it cannot.
bool WriteOutput(const std::string& path, std::string_view bytes);

} // namespace trumik::host
