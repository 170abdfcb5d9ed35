// rcgen: turns resource entries into a C++ source that defines a module's
// resource table (trumikres.h), with the binary layouts the Windows resource
// compiler produces for string tables and version resources.
//
//   rcgen --output <file.cpp> [--base <dir>] "<TYPE> <NAME> <LANG> <FILE>"...
//
// TYPE: a number, STRINGTABLE (STRING), VERSIONINFO (VERSION), RCDATA, or
// any other word as a named type (TYPELIB, REGISTRY, ...). NAME: a number or
// a word (upper-cased, as the resource compiler does); "*" for a string
// table, whose blocks are numbered by their strings. LANG: the LANGID, e.g.
// 0x0409. FILE: relative to --base. A file of a raw type is taken as it is;
// a string table file holds lines "<id> <text>" (UTF-8; \n, \t, \\ escapes);
// a version file holds "KEY=value" lines: FILEVERSION and PRODUCTVERSION
// ("1.4.0.0"), FILEFLAGSMASK, FILEFLAGS, FILEOS, FILETYPE, FILESUBTYPE
// (numbers), TRANSLATION ("0x0419,1251"), and any other key as a string of
// the StringFileInfo table.
#include "winnls.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

[[noreturn]] void Fail(const std::string& message)
{
    throw std::runtime_error(message);
}

std::string ReadAll(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        Fail("cannot read " + path.string());
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

// UTF-8 text of the resource files as UTF-16, through the platform's own
// converter; text that is not UTF-8 stops the run.
std::u16string Utf8ToUtf16(const std::string& text, const std::string& where)
{
    if (text.empty())
        return {};
    if (text.size() > 0x7FFFFFFF)
        Fail(where + ": text too long");
    const int size = static_cast<int>(text.size());
    const int units = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), size, nullptr, 0);
    if (units <= 0)
        Fail(where + ": text is not UTF-8");
    std::u16string out(static_cast<size_t>(units), u'\0');
    MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), size, out.data(), units);
    return out;
}

std::string Trim(const std::string& text)
{
    const size_t begin = text.find_first_not_of(" \t\r\n");
    if (begin == std::string::npos)
        return {};
    const size_t end = text.find_last_not_of(" \t\r\n");
    return text.substr(begin, end - begin + 1);
}

std::string Upper(std::string text)
{
    for (char& c : text)
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    return text;
}

bool ParseNumber(const std::string& text, uint32_t* value)
{
    if (text.empty())
        return false;
    char* end = nullptr;
    const unsigned long long v = std::strtoull(text.c_str(), &end, 0);
    if (*end || v > 0xFFFFFFFFull)
        return false;
    *value = static_cast<uint32_t>(v);
    return true;
}

std::vector<std::string> SplitLines(const std::string& text)
{
    std::vector<std::string> lines;
    std::string line;
    std::istringstream in(text);
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        lines.push_back(line);
    }
    return lines;
}

void PutWord(Bytes& out, uint16_t v)
{
    out.push_back(static_cast<uint8_t>(v & 0xFF));
    out.push_back(static_cast<uint8_t>(v >> 8));
}

void PutDword(Bytes& out, uint32_t v)
{
    PutWord(out, static_cast<uint16_t>(v & 0xFFFF));
    PutWord(out, static_cast<uint16_t>(v >> 16));
}

void PutText(Bytes& out, const std::u16string& text, bool terminate)
{
    for (char16_t c : text)
        PutWord(out, c);
    if (terminate)
        PutWord(out, 0);
}

void Pad4(Bytes& out)
{
    while (out.size() % 4)
        out.push_back(0);
}

// A version block node: wLength, wValueLength, wType, key, padding, value,
// then each child after padding to 32 bits. wLength covers all of it but
// not padding after the last byte.
Bytes VersionNode(const std::u16string& key, uint16_t type, const Bytes& value, uint16_t valueLength,
                  const std::vector<Bytes>& children)
{
    Bytes out;
    PutWord(out, 0);
    PutWord(out, valueLength);
    PutWord(out, type);
    PutText(out, key, true);
    Pad4(out);
    out.insert(out.end(), value.begin(), value.end());
    for (const Bytes& child : children) {
        Pad4(out);
        out.insert(out.end(), child.begin(), child.end());
    }
    if (out.size() > 0xFFFF)
        Fail("version block too large");
    out[0] = static_cast<uint8_t>(out.size() & 0xFF);
    out[1] = static_cast<uint8_t>(out.size() >> 8);
    return out;
}

bool ParseVersion(const std::string& text, uint32_t* ms, uint32_t* ls)
{
    uint32_t parts[4] = {0, 0, 0, 0};
    std::string part;
    int index = 0;
    for (size_t i = 0; i <= text.size(); ++i) {
        if (i == text.size() || text[i] == '.' || text[i] == ',') {
            uint32_t v;
            if (index >= 4 || !ParseNumber(Trim(part), &v) || v > 0xFFFF)
                return false;
            parts[index++] = v;
            part.clear();
        } else {
            part.push_back(text[i]);
        }
    }
    *ms = (parts[0] << 16) | parts[1];
    *ls = (parts[2] << 16) | parts[3];
    return true;
}

Bytes BuildVersion(const std::string& text, uint16_t language, const std::string& where)
{
    uint32_t fileMS = 0, fileLS = 0, productMS = 0, productLS = 0;
    uint32_t flagsMask = 0x3F, flags = 0, os = 0x00040004, type = 2, subtype = 0;
    uint32_t translationLang = language, codePage = 1200;
    std::vector<std::pair<std::u16string, std::u16string>> strings;
    int lineNo = 0;
    for (const std::string& raw : SplitLines(text)) {
        ++lineNo;
        const std::string line = Trim(raw);
        if (line.empty() || line[0] == '#' || line[0] == ';')
            continue;
        const size_t eq = line.find('=');
        const std::string at = where + ":" + std::to_string(lineNo);
        if (eq == std::string::npos)
            Fail(at + ": expected KEY=value");
        const std::string key = Trim(line.substr(0, eq));
        const std::string value = Trim(line.substr(eq + 1));
        const std::string upper = Upper(key);
        bool ok = true;
        if (upper == "FILEVERSION")
            ok = ParseVersion(value, &fileMS, &fileLS);
        else if (upper == "PRODUCTVERSION")
            ok = ParseVersion(value, &productMS, &productLS);
        else if (upper == "FILEFLAGSMASK")
            ok = ParseNumber(value, &flagsMask);
        else if (upper == "FILEFLAGS")
            ok = ParseNumber(value, &flags);
        else if (upper == "FILEOS")
            ok = ParseNumber(value, &os);
        else if (upper == "FILETYPE")
            ok = ParseNumber(value, &type);
        else if (upper == "FILESUBTYPE")
            ok = ParseNumber(value, &subtype);
        else if (upper == "TRANSLATION") {
            const size_t comma = value.find(',');
            ok = comma != std::string::npos && ParseNumber(Trim(value.substr(0, comma)), &translationLang) &&
                 ParseNumber(Trim(value.substr(comma + 1)), &codePage) && translationLang <= 0xFFFF &&
                 codePage <= 0xFFFF;
        } else
            strings.emplace_back(Utf8ToUtf16(key, at), Utf8ToUtf16(value, at));
        if (!ok)
            Fail(at + ": bad value for " + key);
    }

    Bytes fixed;
    for (uint32_t v : {0xFEEF04BDu, 0x00010000u, fileMS, fileLS, productMS, productLS, flagsMask, flags, os,
                       type, subtype, 0u, 0u})
        PutDword(fixed, v);

    std::vector<Bytes> stringNodes;
    for (const auto& [key, value] : strings) {
        Bytes v;
        PutText(v, value, true);
        stringNodes.push_back(VersionNode(key, 1, v, static_cast<uint16_t>(value.size() + 1), {}));
    }
    char tableName[16];
    std::snprintf(tableName, sizeof tableName, "%04x%04x", translationLang, codePage);
    const Bytes table = VersionNode(Utf8ToUtf16(tableName, where), 1, {}, 0, stringNodes);
    const Bytes stringFileInfo = VersionNode(u"StringFileInfo", 1, {}, 0, {table});
    Bytes translation;
    PutWord(translation, static_cast<uint16_t>(translationLang));
    PutWord(translation, static_cast<uint16_t>(codePage));
    const Bytes var = VersionNode(u"Translation", 0, translation, 4, {});
    const Bytes varFileInfo = VersionNode(u"VarFileInfo", 1, {}, 0, {var});
    return VersionNode(u"VS_VERSION_INFO", 0, fixed, static_cast<uint16_t>(fixed.size()),
                       {stringFileInfo, varFileInfo});
}

std::u16string Unescape(const std::string& text, const std::string& where)
{
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 1 < text.size()) {
            const char c = text[++i];
            out.push_back(c == 'n' ? '\n' : c == 't' ? '\t' : c == 'r' ? '\r' : c);
        } else {
            out.push_back(text[i]);
        }
    }
    return Utf8ToUtf16(out, where);
}

// Blocks of 16 strings, keyed by block id (uID >> 4) + 1.
std::map<uint32_t, Bytes> BuildStringTable(const std::string& text, const std::string& where)
{
    std::map<uint32_t, std::map<uint32_t, std::u16string>> blocks;
    int lineNo = 0;
    for (const std::string& raw : SplitLines(text)) {
        ++lineNo;
        const std::string at = where + ":" + std::to_string(lineNo);
        std::string line = raw;
        const size_t begin = line.find_first_not_of(" \t");
        if (begin == std::string::npos || line[begin] == '#')
            continue;
        line = line.substr(begin);
        const size_t space = line.find_first_of(" \t");
        uint32_t id;
        if (!ParseNumber(line.substr(0, space), &id) || id > 0xFFFF)
            Fail(at + ": expected '<id> <text>'");
        std::string value = space == std::string::npos ? std::string() : line.substr(space + 1);
        const size_t first = value.find_first_not_of(" \t");
        value = first == std::string::npos ? std::string() : value.substr(first);
        std::u16string text16 = Unescape(value, at);
        if (text16.size() > 0xFFFF)
            Fail(at + ": string too long");
        auto& block = blocks[(id >> 4) + 1];
        if (!block.emplace(id & 15, std::move(text16)).second)
            Fail(at + ": string " + std::to_string(id) + " given twice");
    }
    std::map<uint32_t, Bytes> out;
    for (const auto& [blockId, strings] : blocks) {
        Bytes data;
        for (uint32_t i = 0; i < 16; ++i) {
            auto it = strings.find(i);
            const std::u16string empty;
            const std::u16string& s = it == strings.end() ? empty : it->second;
            PutWord(data, static_cast<uint16_t>(s.size()));
            PutText(data, s, false);
        }
        out.emplace(blockId, std::move(data));
    }
    return out;
}

struct Id {
    bool numeric = false;
    uint32_t number = 0;
    std::string name;
};

Id ParseId(const std::string& text)
{
    Id id;
    if (ParseNumber(text, &id.number) && id.number <= 0xFFFF)
        id.numeric = true;
    else
        id.name = Upper(text);
    return id;
}

struct Resource {
    Id type;
    Id name;
    uint16_t language;
    Bytes data;
};

std::string Char16Array(const std::string& text)
{
    std::string out = "{";
    for (char16_t c : Utf8ToUtf16(text, "name"))
        out += std::to_string(static_cast<unsigned>(c)) + ", ";
    return out + "0}";
}

std::string Emit(const std::vector<Resource>& resources, const std::string& sources)
{
    std::ostringstream out;
    out << "// Generated by rcgen from " << sources << "; do not edit.\n";
    out << "#include \"trumikres.h\"\n\n#include <cstdint>\n\nnamespace {\n";
    auto idExpr = [&](const Id& id, const std::string& symbol) {
        if (id.numeric)
            return "reinterpret_cast<const WCHAR*>(static_cast<uintptr_t>(" + std::to_string(id.number) +
                   "))";
        out << "const WCHAR " << symbol << "[] = " << Char16Array(id.name) << ";\n";
        return symbol;
    };
    std::vector<std::string> rows;
    for (size_t i = 0; i < resources.size(); ++i) {
        const Resource& r = resources[i];
        const std::string n = std::to_string(i);
        out << "alignas(16) const unsigned char kData" << n << "[] = {";
        const size_t count = r.data.empty() ? 1 : r.data.size();
        for (size_t k = 0; k < count; ++k) {
            if (k % 16 == 0)
                out << "\n   ";
            char hex[8];
            std::snprintf(hex, sizeof hex, " 0x%02x,", r.data.empty() ? 0 : r.data[k]);
            out << hex;
        }
        out << "\n};\n";
        const std::string type = idExpr(r.type, "kType" + n);
        const std::string name = idExpr(r.name, "kName" + n);
        char lang[8];
        std::snprintf(lang, sizeof lang, "0x%04x", r.language);
        rows.push_back("    {" + type + ", " + name + ", " + lang + ", kData" + n + ", " +
                       std::to_string(r.data.size()) + "},\n");
    }
    out << "} // namespace\n\nextern \"C\" {\n";
    // Exported, and bound within the module: an executable that exports a
    // table of its own does not take the place of the module's.
    out << "__attribute__((visibility(\"protected\"))) extern const TRUMIK_RESOURCE_ENTRY "
           "TrumikModuleResources[];\n";
    out << "const TRUMIK_RESOURCE_ENTRY TrumikModuleResources[] = {\n";
    for (const std::string& row : rows)
        out << row;
    out << "    {nullptr, nullptr, 0, nullptr, 0},\n};\n}\n";
    return out.str();
}

int Run(int argc, char** argv)
{
    std::filesystem::path output;
    std::filesystem::path base = std::filesystem::current_path();
    std::vector<std::string> entries;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--output" && i + 1 < argc)
            output = argv[++i];
        else if (arg == "--base" && i + 1 < argc)
            base = argv[++i];
        else
            entries.push_back(arg);
    }
    if (output.empty())
        Fail("usage: rcgen --output <file.cpp> [--base <dir>] \"<TYPE> <NAME> <LANG> <FILE>\"...");

    std::vector<Resource> resources;
    std::string sources;
    for (const std::string& entry : entries) {
        std::istringstream in(entry);
        std::string typeText, nameText, langText;
        in >> typeText >> nameText >> langText;
        std::string rest;
        std::getline(in, rest);
        const std::string file = Trim(rest);
        uint32_t language;
        if (typeText.empty() || nameText.empty() || file.empty() || !ParseNumber(langText, &language) ||
            language > 0xFFFF)
            Fail("bad entry '" + entry + "': expected '<TYPE> <NAME> <LANG> <FILE>'");
        std::filesystem::path path = file;
        if (path.is_relative())
            path = base / path;
        const std::string content = ReadAll(path);
        const std::string where = path.string();
        sources += (sources.empty() ? "" : ", ") + path.filename().string();

        const std::string kind = Upper(typeText);
        if (kind == "STRINGTABLE" || kind == "STRING" || kind == "6") {
            for (auto& [blockId, data] : BuildStringTable(content, where)) {
                Resource r;
                r.type.numeric = true;
                r.type.number = 6;
                r.name.numeric = true;
                r.name.number = blockId;
                r.language = static_cast<uint16_t>(language);
                r.data = std::move(data);
                resources.push_back(std::move(r));
            }
            continue;
        }
        Resource r;
        r.name = ParseId(nameText);
        r.language = static_cast<uint16_t>(language);
        if (kind == "VERSIONINFO" || kind == "VERSION" || kind == "16") {
            r.type.numeric = true;
            r.type.number = 16;
            r.data = BuildVersion(content, r.language, where);
        } else {
            r.type = kind == "RCDATA" ? Id{true, 10, {}} : ParseId(typeText);
            r.data.assign(content.begin(), content.end());
        }
        resources.push_back(std::move(r));
    }

    const std::string text = Emit(resources, sources.empty() ? "no files" : sources);
    const std::filesystem::path temp = output.string() + ".tmp";
    {
        std::ofstream out(temp, std::ios::binary | std::ios::trunc);
        if (!out)
            Fail("cannot write " + temp.string());
        out << text;
        if (!out.flush())
            Fail("cannot write " + temp.string());
    }
    std::filesystem::rename(temp, output);
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    try {
        return Run(argc, argv);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "rcgen: %s\n", e.what());
        return 1;
    }
}
