// A strict reader of JSON for the C++ tests: of what `list --json` prints, so that they check its structure and
// its escaping rather than its spelling, and of the fixture facts (fixtures.json). Numbers are non-negative
// integers: neither writes others.
#pragma once

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace corvantile::testing {

struct Json {
    enum class Kind { Null, Boolean, Number, String, Array, Object };
    Kind kind = Kind::Null;
    bool boolean = false;
    std::uint64_t number = 0;
    std::string string;  // UTF-8
    std::vector<Json> array;
    std::map<std::string, Json> object;

    const Json& operator[](const std::string& key) const { return object.at(key); }
    const Json& operator[](std::size_t index) const { return array.at(index); }
};

class JsonReader {
public:
    // One JSON value that fills the whole text, up to white space; empty when the text is no such JSON.
    static std::optional<Json> Parse(std::string_view text) {
        JsonReader reader(text);
        Json value;
        if (!reader.ReadValue(value)) return std::nullopt;
        reader.SkipSpace();
        if (reader.position_ != text.size()) return std::nullopt;
        return value;
    }

private:
    explicit JsonReader(std::string_view text) : text_(text) {}

    void SkipSpace() { position_ = std::min(text_.find_first_not_of(" \t\r\n", position_), text_.size()); }
    bool Consume(std::string_view token) {
        SkipSpace();
        if (text_.substr(position_, token.size()) != token) return false;
        position_ += token.size();
        return true;
    }
    [[nodiscard]] char Peek() {
        SkipSpace();
        return position_ < text_.size() ? text_[position_] : '\0';
    }

    bool ReadValue(Json& value) {
        const char next = Peek();
        if (next == '{') return ReadObject(value);
        if (next == '[') return ReadArray(value);
        if (next == '"') {
            value.kind = Json::Kind::String;
            return ReadString(value.string);
        }
        if (next >= '0' && next <= '9') return ReadNumber(value);
        if (Consume("true") || Consume("false")) {
            value.kind = Json::Kind::Boolean;
            value.boolean = text_[position_ - 1] == 'e' && text_[position_ - 2] == 'u';
            return true;
        }
        return Consume("null");
    }

    bool ReadObject(Json& value) {
        value.kind = Json::Kind::Object;
        Consume("{");
        if (Consume("}")) return true;
        do {
            std::string key;
            Json member;
            if (Peek() != '"' || !ReadString(key) || !Consume(":") || !ReadValue(member)) return false;
            if (!value.object.emplace(std::move(key), std::move(member)).second) return false;
        } while (Consume(","));
        return Consume("}");
    }

    bool ReadArray(Json& value) {
        value.kind = Json::Kind::Array;
        Consume("[");
        if (Consume("]")) return true;
        do {
            if (!ReadValue(value.array.emplace_back())) return false;
        } while (Consume(","));
        return Consume("]");
    }

    bool ReadNumber(Json& value) {
        value.kind = Json::Kind::Number;
        const std::size_t start = position_;
        while (position_ < text_.size() && text_[position_] >= '0' && text_[position_] <= '9') {
            value.number = value.number * 10 + static_cast<std::uint64_t>(text_[position_++] - '0');
        }
        const bool fractionOrExponent =
            position_ < text_.size() && std::string_view(".eE").find(text_[position_]) != std::string_view::npos;
        return !fractionOrExponent && (position_ - start == 1 || text_[start] != '0');
    }

    bool ReadHex4(char32_t& unit) {
        if (text_.size() - position_ < 4) return false;
        // Four hex digits and nothing else: from_chars takes neither a sign for an unsigned value nor a prefix.
        const char* digits = text_.data() + position_;
        std::uint16_t value = 0;
        const auto [end, error] = std::from_chars(digits, digits + 4, value, 16);
        position_ += 4;
        unit = value;
        return error == std::errc() && end == digits + 4;
    }

    // Of a \u escape, so of at most U+FFFF.
    static void AppendUtf8(std::string& out, char32_t c) {
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }

    bool ReadString(std::string& out) {
        ++position_;  // the opening quote
        while (position_ < text_.size()) {
            const char c = text_[position_++];
            if (c == '"') return true;
            if (static_cast<unsigned char>(c) < 0x20) return false;  // control characters must be escaped
            if (c != '\\') {
                out += c;
                continue;
            }
            if (position_ == text_.size()) return false;
            const char escape = text_[position_++];
            const std::string_view simple = "\"\\/bfnrt";
            const std::string_view meaning = "\"\\/\b\f\n\r\t";
            if (const std::size_t i = simple.find(escape); i != std::string_view::npos) {
                out += meaning[i];
                continue;
            }
            char32_t unit = 0;
            // The tool writes characters beyond U+FFFF as UTF-8 and the fixture facts are ASCII: neither escapes
            // surrogate pairs.
            if (escape != 'u' || !ReadHex4(unit)) return false;
            AppendUtf8(out, unit);
        }
        return false;
    }

    std::string_view text_;
    std::size_t position_ = 0;
};

}  // namespace corvantile::testing
