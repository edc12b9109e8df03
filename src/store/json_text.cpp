#include "store/json_text.h"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <new>

#include "platform/fault.h"

#include <rapidjson/memorystream.h>
#include <rapidjson/reader.h>

namespace vue {

size_t format_json_real(double value, char *out) {
    if (!std::isfinite(value)) return 0;
    // Shortest round-trip digits come from to_chars; only their layout is ours.
    char sci[kRealTextMax];
    auto res = std::to_chars(sci, sci + sizeof sci, value, std::chars_format::scientific);
    if (res.ec != std::errc()) return 0;
    *res.ptr = '\0';

    const char *p = sci;
    char *o = out;
    if (*p == '-') *o++ = *p++;
    char digits[24] = {};
    size_t nd = 0;
    for (; *p != 'e'; ++p) {
        if (*p != '.') digits[nd++] = *p;
    }
    int exponent = std::atoi(p + 1);
    int point = exponent + 1;  // digits before the decimal point

    if (point > -6 && point <= 21) {
        if (point <= 0) {
            *o++ = '0';
            *o++ = '.';
            for (int i = 0; i < -point; ++i) *o++ = '0';
            std::memcpy(o, digits, nd);
            o += nd;
        } else if (static_cast<size_t>(point) >= nd) {
            std::memcpy(o, digits, nd);
            o += nd;
            for (size_t i = nd; i < static_cast<size_t>(point); ++i) *o++ = '0';
            *o++ = '.';
            *o++ = '0';
        } else {
            std::memcpy(o, digits, static_cast<size_t>(point));
            o += point;
            *o++ = '.';
            std::memcpy(o, digits + point, nd - static_cast<size_t>(point));
            o += nd - static_cast<size_t>(point);
        }
    } else {
        *o++ = digits[0];
        if (nd > 1) {
            *o++ = '.';
            std::memcpy(o, digits + 1, nd - 1);
            o += nd - 1;
        }
        *o++ = 'e';
        auto er = std::to_chars(o, out + kRealTextMax, exponent);
        o = er.ptr;
    }
    return static_cast<size_t>(o - out);
}

// --- growing_sink --------------------------------------------------------------

growing_sink::growing_sink(char *fixed, size_t fixed_capacity)
    : fixed_(fixed), fixed_capacity_(fixed_capacity), data_(fixed), capacity_(fixed_capacity) {}

growing_sink::~growing_sink() { std::free(heap_); }

void growing_sink::reset() {
    data_ = fixed_;
    capacity_ = fixed_capacity_;
    size_ = 0;
}

void growing_sink::grow() {
    if (platform::fault_fires(platform::fault_point::text_memory)) throw std::bad_alloc();
    size_t wanted = capacity_ * 2;
    if (data_ == fixed_ && heap_capacity_ >= wanted) {
        std::memcpy(heap_, data_, size_);
        data_ = heap_;
        capacity_ = heap_capacity_;
        return;
    }
    if (data_ == fixed_) {
        char *fresh = static_cast<char *>(std::malloc(wanted));
        if (fresh == nullptr) throw std::bad_alloc();
        std::memcpy(fresh, data_, size_);
        std::free(heap_);
        heap_ = fresh;
    } else {
        char *fresh = static_cast<char *>(std::realloc(heap_, wanted));
        if (fresh == nullptr) throw std::bad_alloc();
        heap_ = fresh;
    }
    heap_capacity_ = wanted;
    data_ = heap_;
    capacity_ = wanted;
}

void growing_sink::append(std::string_view text) {
    while (size_ + text.size() + 1 > capacity_) grow();  // keep room for the terminator
    std::memcpy(data_ + size_, text.data(), text.size());
    size_ += text.size();
}

const char *growing_sink::c_str() {
    data_[size_] = '\0';  // Put() always leaves room for it
    return data_;
}

// --- strict reading ------------------------------------------------------------

namespace {

// Reads one JSON number from its text, which RapidJSON has already checked
// against the grammar. Integers stay integers while they fit 64 bits; reals
// are rounded correctly over the whole double range, a magnitude too small
// for a double reads as zero and one too large is an error. RapidJSON's own
// full-precision conversion is not used: it crashes on some subnormal
// numbers and misreads others near the ends of the range.
bool read_number(std::string_view text, rapidjson::Document &doc) {
    const char *first = text.data();
    const char *last = first + text.size();
    if (text.find_first_of(".eE") == std::string_view::npos) {
        if (text.front() == '-') {
            int64_t value = 0;
            auto [end, ec] = std::from_chars(first, last, value);
            if (ec == std::errc() && end == last) return doc.Int64(value);
        } else {
            uint64_t value = 0;
            auto [end, ec] = std::from_chars(first, last, value);
            if (ec == std::errc() && end == last) return doc.Uint64(value);
        }
        // Beyond 64 bits: a real, as below.
    }
    double value = 0.0;
    auto [end, ec] = std::from_chars(first, last, value);
    if (end != last) return false;
    if (ec == std::errc()) return doc.Double(value);
    if (ec != std::errc::result_out_of_range) return false;
    // Out of range either way: the power of ten of the first significant
    // digit tells underflow (reads as zero) from overflow (an error).
    const char *p = first;
    const bool negative = *p == '-';
    if (negative) ++p;
    const char *integer_end = p;
    while (integer_end < last && *integer_end >= '0' && *integer_end <= '9') ++integer_end;
    int64_t power = 0;
    bool found = false;
    for (const char *d = p; d < integer_end && !found; ++d) {
        if (*d != '0') {
            power = integer_end - d - 1;
            found = true;
        }
    }
    const char *q = integer_end;
    if (q < last && *q == '.') {
        for (++q; q < last && *q >= '0' && *q <= '9'; ++q) {
            if (!found && *q != '0') {
                power = -(q - integer_end);
                found = true;
            }
        }
    }
    int64_t exponent = 0;
    if (q < last && (*q == 'e' || *q == 'E')) {
        ++q;
        const bool exponent_negative = *q == '-';
        if (*q == '-' || *q == '+') ++q;
        // Beyond this bound only the exponent's sign matters.
        for (; q < last; ++q) {
            if (exponent < 1000000) exponent = exponent * 10 + (*q - '0');
        }
        if (exponent_negative) exponent = -exponent;
    }
    if (!found || power + exponent >= 0) return false;
    return doc.Double(negative ? -0.0 : 0.0);
}

// Forwards SAX events to the document, refusing any string or key that is
// not valid UTF-8 after unescaping: RapidJSON lets a lone "\uDC00" through
// as an encoded surrogate.
struct strict_handler {
    rapidjson::Document &doc;
    bool Null() { return doc.Null(); }
    bool Bool(bool b) { return doc.Bool(b); }
    // Numbers arrive as text (kParseNumbersAsStringsFlag); see read_number.
    bool Int(int) { return false; }
    bool Uint(unsigned) { return false; }
    bool Int64(int64_t) { return false; }
    bool Uint64(uint64_t) { return false; }
    bool Double(double) { return false; }
    bool RawNumber(const char *s, rapidjson::SizeType n, bool) { return read_number(std::string_view(s, n), doc); }
    bool String(const char *s, rapidjson::SizeType n, bool copy) {
        return utf8_is_valid(std::string_view(s, n)) && doc.String(s, n, copy);
    }
    bool StartObject() { return doc.StartObject(); }
    bool Key(const char *s, rapidjson::SizeType n, bool copy) {
        return utf8_is_valid(std::string_view(s, n)) && doc.Key(s, n, copy);
    }
    bool EndObject(rapidjson::SizeType members) { return doc.EndObject(members); }
    bool StartArray() { return doc.StartArray(); }
    bool EndArray(rapidjson::SizeType elements) { return doc.EndArray(elements); }
};

struct strict_generator {
    std::string_view text;
    bool parsed = false;
    bool operator()(rapidjson::Document &doc) {
        constexpr unsigned kFlags = rapidjson::kParseNumbersAsStringsFlag | rapidjson::kParseValidateEncodingFlag |
                                    rapidjson::kParseIterativeFlag;
        rapidjson::MemoryStream stream(text.data(), text.size());
        rapidjson::Reader reader;
        strict_handler handler{doc};
        parsed = !reader.Parse<kFlags>(stream, handler).IsError();
        return parsed;
    }
};

}  // namespace

bool json_parse_strict(std::string_view text, rapidjson::Document &doc) {
    // RapidJSON skips a byte-order mark and stops quietly at a NUL; neither
    // is JSON.
    if (text.size() >= 3 && std::memcmp(text.data(), "\xEF\xBB\xBF", 3) == 0) return false;
    if (std::memchr(text.data(), '\0', text.size()) != nullptr) return false;
    strict_generator generator{text};
    doc.Populate(generator);
    return generator.parsed;
}

const rapidjson::Value *find_member(const rapidjson::Value &object, std::string_view key) {
    if (!object.IsObject()) return nullptr;
    for (auto it = object.MemberBegin(); it != object.MemberEnd(); ++it) {
        if (std::string_view(it->name.GetString(), it->name.GetStringLength()) == key) return &it->value;
    }
    return nullptr;
}

}  // namespace vue
