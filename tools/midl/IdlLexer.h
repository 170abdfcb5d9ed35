// The tokens of the IDL subset that trumik-midl reads.
#pragma once

#include <cctype>
#include <stdexcept>
#include <string>

namespace trumik::midl {

struct CompileError : std::runtime_error {
    CompileError(int line, const std::string& what) : std::runtime_error(what), line(line) {}
    int line;
};

enum class Tok { End, Ident, Number, String, Punct };

struct Token {
    Tok kind = Tok::End;
    std::string text;
    int line = 1;
};

class Lexer {
  public:
    explicit Lexer(std::string src) : src_(std::move(src)) {}

    Token Next()
    {
        SkipSpace();
        Token t;
        t.line = line_;
        if (pos_ >= src_.size())
            return t;
        char c = src_[pos_];
        if (std::isalpha(static_cast<unsigned char>(c)) || c == '_') {
            t.kind = Tok::Ident;
            while (pos_ < src_.size() &&
                   (std::isalnum(static_cast<unsigned char>(src_[pos_])) || src_[pos_] == '_'))
                t.text.push_back(src_[pos_++]);
        } else if (std::isdigit(static_cast<unsigned char>(c))) {
            t.kind = Tok::Number;
            while (pos_ < src_.size() &&
                   (std::isalnum(static_cast<unsigned char>(src_[pos_])) || src_[pos_] == '.'))
                t.text.push_back(src_[pos_++]);
        } else if (c == '"') {
            t.kind = Tok::String;
            ++pos_;
            for (;;) {
                if (pos_ >= src_.size() || src_[pos_] == '\n')
                    throw CompileError(t.line, "unterminated string");
                char ch = src_[pos_++];
                if (ch == '"')
                    break;
                if (ch == '\\' && pos_ < src_.size()) {
                    char e = src_[pos_++];
                    ch = e == 'n' ? '\n' : e == 't' ? '\t' : e;
                }
                t.text.push_back(ch);
            }
        } else {
            t.kind = Tok::Punct;
            t.text = std::string(1, c);
            ++pos_;
        }
        return t;
    }

    // The raw text up to (not including) the next ')', for uuid(...).
    std::string RawUntilParen()
    {
        std::string out;
        while (pos_ < src_.size() && src_[pos_] != ')') {
            if (src_[pos_] == '\n')
                ++line_;
            if (!std::isspace(static_cast<unsigned char>(src_[pos_])))
                out.push_back(src_[pos_]);
            ++pos_;
        }
        return out;
    }

    int Line() const { return line_; }

  private:
    void SkipSpace()
    {
        for (;;) {
            while (pos_ < src_.size() && std::isspace(static_cast<unsigned char>(src_[pos_]))) {
                if (src_[pos_] == '\n')
                    ++line_;
                ++pos_;
            }
            if (src_.compare(pos_, 2, "//") == 0) {
                while (pos_ < src_.size() && src_[pos_] != '\n')
                    ++pos_;
            } else if (src_.compare(pos_, 2, "/*") == 0) {
                size_t end = src_.find("*/", pos_ + 2);
                if (end == std::string::npos)
                    throw CompileError(line_, "unterminated comment");
                for (size_t i = pos_; i < end; ++i)
                    if (src_[i] == '\n')
                        ++line_;
                pos_ = end + 2;
            } else if (pos_ < src_.size() && src_[pos_] == '#') {
                // Preprocessor lines (#include guards and the like) are ignored.
                while (pos_ < src_.size() && src_[pos_] != '\n')
                    ++pos_;
            } else {
                return;
            }
        }
    }

    std::string src_;
    size_t pos_ = 0;
    int line_ = 1;
};

} // namespace trumik::midl
