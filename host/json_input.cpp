#include "json_input.h"

#include <charconv>
#include <cstring>
#include <cstdint>
#include <system_error>

#include <rapidjson/memorystream.h>
#include <rapidjson/reader.h>

namespace host {
namespace {

bool read_number(std::string_view text, rapidjson::Document &doc) {
    const char *first = text.data();
    const char *last = first + text.size();
    if (text.find_first_of(".eE") == std::string_view::npos) {
        if (text.front() == '-') {
            std::int64_t value = 0;
            if (auto [end, ec] = std::from_chars(first, last, value); ec == std::errc() && end == last) return doc.Int64(value);
        } else {
            std::uint64_t value = 0;
            if (auto [end, ec] = std::from_chars(first, last, value); ec == std::errc() && end == last) return doc.Uint64(value);
        }
    }
    double value = 0.0;
    const auto [end, ec] = std::from_chars(first, last, value);
    if (end != last) return false;
    if (ec == std::errc()) return doc.Double(value);
    if (ec != std::errc::result_out_of_range) return false;
    // Out of range: a negative exponent means too small (zero), else too large.
    const std::size_t e = text.find_first_of("eE");
    if (e == std::string_view::npos || e + 1 >= text.size() || text[e + 1] != '-') return false;
    return doc.Double(text.front() == '-' ? -0.0 : 0.0);
}

// Hands every event to the document, numbers through read_number.
struct number_handler {
    rapidjson::Document &doc;
    bool Null() { return doc.Null(); }
    bool Bool(bool b) { return doc.Bool(b); }
    bool Int(int) { return false; }
    bool Uint(unsigned) { return false; }
    bool Int64(std::int64_t) { return false; }
    bool Uint64(std::uint64_t) { return false; }
    bool Double(double) { return false; }
    bool RawNumber(const char *s, rapidjson::SizeType n, bool) { return read_number(std::string_view(s, n), doc); }
    bool String(const char *s, rapidjson::SizeType n, bool copy) { return doc.String(s, n, copy); }
    bool StartObject() { return doc.StartObject(); }
    bool Key(const char *s, rapidjson::SizeType n, bool copy) { return doc.Key(s, n, copy); }
    bool EndObject(rapidjson::SizeType members) { return doc.EndObject(members); }
    bool StartArray() { return doc.StartArray(); }
    bool EndArray(rapidjson::SizeType elements) { return doc.EndArray(elements); }
};

struct generator {
    std::string_view text;
    rapidjson::ParseResult result;
    bool operator()(rapidjson::Document &doc) {
        constexpr unsigned k_flags =
            rapidjson::kParseNumbersAsStringsFlag | rapidjson::kParseValidateEncodingFlag | rapidjson::kParseIterativeFlag;
        // RapidJSON takes a NUL byte for the end of the text.
        if (const void *nul = std::memchr(text.data(), '\0', text.size()); nul != nullptr) {
            result.Set(rapidjson::kParseErrorDocumentRootNotSingular, static_cast<const char *>(nul) - text.data());
            return false;
        }
        rapidjson::MemoryStream stream(text.data(), text.size());
        rapidjson::Reader reader;
        number_handler handler{doc};
        result = reader.Parse<k_flags>(stream, handler);
        return !result.IsError();
    }
};

}  // namespace

rapidjson::ParseResult parse_json(std::string_view text, rapidjson::Document &doc) {
    generator g{text, {}};
    doc.Populate(g);
    if (g.result.IsError()) doc.SetNull();
    return g.result;
}

}  // namespace host
