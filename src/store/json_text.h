// The JSON text layer. State files and reports must be byte-identical to the
// forms the engine has always written (shortest round-trip reals that keep a
// ".0", upper-case \u escapes, four-space pretty layout) and must be read
// strictly. RapidJSON does the structure; this layer owns every byte whose
// form RapidJSON would get differently: reals, UTF-8 checks, BOM/NUL and
// lone-surrogate rejection.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "core/utf8.h"

#include <rapidjson/document.h>
#include <rapidjson/prettywriter.h>
#include <rapidjson/writer.h>

namespace vue {

// Writes `value` in the shortest form that reads back as the same double:
// plain notation while the decimal point position n satisfies -6 < n <= 21,
// else exponent notation ("1e21", "1.5e-7"); whole numbers keep ".0".
// Returns the length written into `out` (at most 32 bytes), or 0 for NaN and
// infinities, which JSON cannot hold.
constexpr size_t kRealTextMax = 32;
size_t format_json_real(double value, char *out);

// An output sink that fills a caller-owned buffer first and moves to a heap
// buffer, which it keeps and reuses across calls, once the text outgrows it.
// The result stays valid until the sink is used again.
class growing_sink {
public:
    using Ch = char;
    growing_sink(char *fixed, size_t fixed_capacity);
    ~growing_sink();
    growing_sink(const growing_sink &) = delete;
    growing_sink &operator=(const growing_sink &) = delete;

    void reset();  // starts a new text, in the fixed buffer again
    void Put(char c) {
        if (size_ + 1 >= capacity_) grow();  // keep room for the terminator
        data_[size_++] = c;
    }
    void Flush() {}
    void append(std::string_view text);
    // Room for `more` bytes written straight at write_position(), then
    // counted in with advance().
    void reserve(size_t more) {
        while (size_ + more + 1 > capacity_) grow();
    }
    char *write_position() { return data_ + size_; }
    void advance(size_t written) { size_ += written; }
    // Terminates the text and returns it; stays valid until the next reset().
    const char *c_str();
    size_t size() const { return size_; }

private:
    void grow();
    char *fixed_;
    size_t fixed_capacity_;
    char *heap_ = nullptr;
    size_t heap_capacity_ = 0;
    char *data_;
    size_t capacity_;
    size_t size_ = 0;
};

// A streaming writer over RapidJSON's compact or pretty writer. Any string
// that is not valid UTF-8 and any non-finite real makes the whole write
// fail: ok() turns false and the text must be discarded.
template <typename Base>
class json_writer {
public:
    explicit json_writer(growing_sink &out) : base_(out) {}

    void begin_object() { ok_ = ok_ && base_.StartObject(); }
    void end_object() { ok_ = ok_ && base_.EndObject(); }
    void begin_array() { ok_ = ok_ && base_.StartArray(); }
    void end_array() { ok_ = ok_ && base_.EndArray(); }
    void key(std::string_view k) {
        ok_ = ok_ && utf8_is_valid(k) && base_.Key(k.data(), static_cast<rapidjson::SizeType>(k.size()));
    }
    void string(std::string_view s) {
        ok_ = ok_ && utf8_is_valid(s) && base_.String(s.data(), static_cast<rapidjson::SizeType>(s.size()));
    }
    void integer(int64_t v) { ok_ = ok_ && base_.Int64(v); }
    void null_value() { ok_ = ok_ && base_.Null(); }
    void real(double v) {
        if (!ok_) return;
        char text[kRealTextMax];
        size_t n = format_json_real(v, text);
        ok_ = n > 0 && base_.RawValue(text, n, rapidjson::kNumberType);
    }
    bool ok() const { return ok_ && base_.IsComplete(); }

private:
    Base base_;
    bool ok_ = true;
};

using compact_json_writer = json_writer<rapidjson::Writer<growing_sink>>;
using pretty_json_writer = json_writer<rapidjson::PrettyWriter<growing_sink>>;

// Parses `text` strictly: no BOM, no NUL byte anywhere, no comments,
// trailing commas, NaN/Infinity or leading zeros, valid UTF-8 in strings with
// no lone surrogate escapes, nothing but whitespace after the document.
// Integers stay integers (a "1.0" is a real), 17-digit reals are read with
// full precision and nesting depth cannot exhaust the stack. Duplicate keys
// are kept; look members up with find_member(), which finds the first.
bool json_parse_strict(std::string_view text, rapidjson::Document &doc);

// The first member of `object` named `key`, or null.
const rapidjson::Value *find_member(const rapidjson::Value &object, std::string_view key);

}  // namespace vue
